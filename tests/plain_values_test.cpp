#include "quillon/package_core/plain_values.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <tuple>

#include "failure_text.h"
#include "quillon/engine/input_files.h"
#include "recording_host.h"

namespace quillon {
namespace {

using testing::TempFolder;

const std::string dataFolder = std::string(QUILLON_SOURCE_DIR) + "/data/";
const std::string samplePool = dataFolder + "samplepassfail_pool.csv";
const std::string sampleData = dataFolder + "samplepassfail.txt";
const std::string sampleScript = dataFolder + "samplepassfail_script.csv";
const std::string sampleEnemies = dataFolder + "samplepassfail_enemies.csv";

int runSim(const std::string& arguments) {
    return std::system((std::string(QUILLON_SIM) + " --quiet " + arguments + " >/dev/null 2>&1").c_str());
}

PlainRunRequest sampleRequest(std::vector<std::pair<std::string, std::string>> settings = {}) {
    PlainRunRequest request;
    request.pool = PlainInput::path(samplePool);
    request.data = PlainInput::path(sampleData);
    request.settings = std::move(settings);
    request.settings.emplace_back("threads", "2");
    return request;
}

// Equal tables: the same names, kinds and values (NaN equal to NaN).
void expectSameTable(const PlainTable& a, const PlainTable& b, const std::string& what) {
    ASSERT_EQ(a.columns.size(), b.columns.size()) << what;
    for (std::size_t c = 0; c < a.columns.size(); ++c) {
        const PlainColumn &x = a.columns[c], &y = b.columns[c];
        EXPECT_EQ(x.name, y.name) << what;
        EXPECT_EQ(x.isText, y.isText) << what << " " << x.name;
        EXPECT_EQ(x.texts, y.texts) << what << " " << x.name;
        ASSERT_EQ(x.numbers.size(), y.numbers.size()) << what << " " << x.name;
        for (std::size_t r = 0; r < x.numbers.size(); ++r) {
            if (std::isnan(x.numbers[r]) && std::isnan(y.numbers[r])) continue;
            ASSERT_EQ(x.numbers[r], y.numbers[r]) << what << " " << x.name << " row " << r + 1;
        }
    }
}

// Where a table kept in memory has no value but the written one has a number: (column, row).
using Gaps = std::vector<std::pair<std::string, std::size_t>>;

// A table kept in memory against the same table written and read back: the same names, kinds and
// texts, each number within `tolerance(column)` of the written one (its rounding), NaN where the
// written field is empty; returns where it has NaN and the table wrote a number.
Gaps expectWithinRounding(const PlainTable& kept, const PlainTable& written, const std::string& what,
                          const std::function<double(const std::string&)>& tolerance) {
    Gaps gaps;
    EXPECT_EQ(kept.columns.size(), written.columns.size()) << what;
    for (std::size_t c = 0; c < std::min(kept.columns.size(), written.columns.size()); ++c) {
        const PlainColumn &x = kept.columns[c], &y = written.columns[c];
        EXPECT_EQ(x.name, y.name) << what;
        EXPECT_EQ(x.isText, y.isText) << what << " " << x.name;
        EXPECT_EQ(x.whole, y.whole) << what << " " << x.name;
        EXPECT_EQ(x.texts, y.texts) << what << " " << x.name;
        EXPECT_EQ(x.numbers.size(), y.numbers.size()) << what << " " << x.name;
        for (std::size_t r = 0; r < std::min(x.numbers.size(), y.numbers.size()); ++r) {
            if (std::isnan(y.numbers[r])) {
                EXPECT_TRUE(std::isnan(x.numbers[r])) << what << " " << x.name << " row " << r + 1;
            } else if (std::isnan(x.numbers[r])) {
                gaps.emplace_back(x.name, r);
            } else {
                EXPECT_LE(std::fabs(x.numbers[r] - y.numbers[r]), tolerance(x.name))
                    << what << " " << x.name << " row " << r + 1 << ": " << x.numbers[r] << " against " << y.numbers[r];
            }
        }
    }
    return gaps;
}

// Half a unit of the written form's last place, and a little for the double that reads it back.
double resultsRounding(const std::string& column) { return (column == "sprt_decided" ? 5e-4 : 5e-5) + 1e-12; }

// Counts and round-trip numbers read back exactly; the stopping table's plain means keep 15 digits.
double exactOrPlain(const std::string& column) {
    const bool mean = column == "atl" || column == "fixed_atl" || column.find("pcc") != std::string::npos ||
                      column.ends_with("_share");
    return mean ? 1e-13 : 0.0;
}

std::vector<std::string> columnNames(const PlainTable& table) {
    std::vector<std::string> names;
    for (const PlainColumn& c : table.columns) names.push_back(c.name);
    return names;
}

double cell(const PlainTable& table, const std::string& column, std::size_t row) {
    return table.column(column)->numbers[row];
}

// Every report of the sample run, once through the runner and once through the layer: the same
// bytes in the files, and the tables kept in memory equal to them but for the written rounding
// and the shares with nothing to divide by, which are NaN exactly where that is so.
TEST(PlainRun, KeepsTheRunnersTablesAtFullPrecision) {
    TempFolder runner, layer;
    const std::vector<std::string> tables = {"results.csv", "expos.csv", "trace.csv", "stopping.csv", "confusion.csv"};
    ASSERT_EQ(runSim("--pool " + samplePool + " --data " + sampleData + " --results " + runner.file(tables[0]) +
                     " --exposure " + runner.file(tables[1]) + " --trace " + runner.file(tables[2]) +
                     " --trace-examinees 30 --trace-candidates 2 --stopping " + runner.file(tables[3]) +
                     " --stop-probability .9 --confusion " + runner.file(tables[4]) + " --method MinCost --threads 2"),
              0);
    PlainRunRequest request = sampleRequest(
        {{"method", "MinCost"}, {"trace_examinees", "30"}, {"trace_candidates", "2"}, {"stop_probability", "0.9"}});
    request.resultsPath = layer.file(tables[0]);
    request.exposurePath = layer.file(tables[1]);
    request.tracePath = layer.file(tables[2]);
    request.stoppingPath = layer.file(tables[3]);
    request.confusionPath = layer.file(tables[4]);
    const PlainRunResult result = runPlain(request);
    ASSERT_EQ(result.error, "");
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_EQ(result.doneMessage.substr(0, 5), "Done\n");
    for (const std::string& name : tables) {
        EXPECT_EQ(TempFolder::read(layer.file(name)), TempFolder::read(runner.file(name))) << name;
    }
    std::vector<PlainTable> written;
    for (const std::string& name : tables) {
        Outcome<PlainTable> read = readResults(runner.file(name));
        ASSERT_TRUE(read.ok()) << failureText(read);
        written.push_back(std::move(*read));
    }
    const Gaps resultGaps = expectWithinRounding(result.results, written[0], "results", resultsRounding);
    for (const auto& [table, name, at] : {std::tuple{&result.exposure, "exposure", 1},
                                          {&result.trace, "trace", 2},
                                          {&result.stopping, "stopping", 3},
                                          {&result.confusion, "confusion", 4}}) {
        const Gaps gaps = expectWithinRounding(*table, written[static_cast<std::size_t>(at)], name, exactOrPlain);
        EXPECT_TRUE(gaps.empty()) << name << " " << (gaps.empty() ? "" : gaps.front().first);
    }
    // The SPRT's shares have nothing to divide by exactly at the lengths where it decided no test,
    // as the confusion table counts them; there the written table says 0.
    const PlainTable& confusion = result.confusion;
    std::vector<double> decided(80, 0.0);
    for (std::size_t r = 0; r < confusion.rowCount(); ++r) {
        if (confusion.column("rule")->texts[r] == "SPRT")
            decided[static_cast<std::size_t>(cell(confusion, "length", r)) - 1] += cell(confusion, "tests", r);
    }
    Gaps expected;
    for (const char* column : {"sprt_accurate", "sprt_false_pos", "sprt_false_neg"}) {
        for (std::size_t n = 0; n < decided.size(); ++n) {
            if (decided[n] == 0) expected.emplace_back(column, n);
        }
    }
    std::sort(expected.begin(), expected.end());
    Gaps found = resultGaps;
    std::sort(found.begin(), found.end());
    EXPECT_FALSE(expected.empty());  // the sample's SPRT decides nothing after one item
    EXPECT_EQ(found, expected);
    for (const auto& [column, row] : found) EXPECT_EQ(cell(written[0], column, row), 0.0) << column << row;
    EXPECT_EQ(result.results.rowCount(), 80u);
    EXPECT_EQ(result.exposure.rowCount(), 300u);
    EXPECT_EQ(result.trace.rowCount(), 30u * 80u);
}

// The examinees table kept in memory is the runner's --examinees file value for value, for one
// thread and two, with the test lengths and groups whole and missing exactly where the file's
// fields are empty; the layer's own file is the runner's bytes, and the table is kept only when asked.
TEST(PlainRun, ExamineesTableIsTheRunnersFile) {
    const struct {
        std::string threads, options;
        std::vector<std::pair<std::string, std::string>> settings;
        std::size_t rows, rules;
    } cases[] = {
        {"1", "", {}, 2000, 2},
        {"2", "", {}, 2000, 2},
        {"2",
         " --stop-probability .9 --stop-probability .99 --tests-per-person 2 --method MinCost",
         {{"stop_probability", "0.9"}, {"stop_probability", "0.99"}, {"tests_per_person", "2"}, {"method", "MinCost"}},
         4000,
         3},
    };
    for (const auto& c : cases) {
        const std::string what = "threads " + c.threads + c.options;
        TempFolder runner, layer;
        ASSERT_EQ(runSim("--pool " + samplePool + " --data " + sampleData + " --results " + runner.file("r.csv") +
                         " --no-exposure --examinees " + runner.file("examinees.csv") + " --threads " + c.threads +
                         c.options),
                  0)
            << what;
        PlainRunRequest request = sampleRequest(c.settings);
        request.settings.back().second = c.threads;
        request.settings.emplace_back("no_exposure", "true");
        request.examinees = true;
        request.examineesPath = layer.file("examinees.csv");
        const PlainRunResult result = runPlain(request);
        ASSERT_EQ(result.error, "") << what;
        EXPECT_EQ(TempFolder::read(request.examineesPath), TempFolder::read(runner.file("examinees.csv"))) << what;
        EXPECT_EQ(result.summary.workerThreads, std::stoi(c.threads)) << what;
        ASSERT_TRUE(result.hasExaminees) << what;
        const PlainTable& kept = result.examinees;
        ASSERT_EQ(kept.rowCount(), c.rows) << what;
        ASSERT_EQ(kept.columns.size(), 6 + 2 * c.rules) << what;
        // Against the file's own fields, read without the layer's reader: every number exactly
        // (the file writes the shortest form that reads back), missing where the field is empty.
        const std::vector<std::string> lines = splitLines(TempFolder::read(runner.file("examinees.csv")));
        ASSERT_EQ(lines.size(), c.rows + 1) << what;
        EXPECT_EQ(csvFields(lines[0]), columnNames(kept)) << what;
        std::size_t undecided = 0;
        for (std::size_t r = 0; r < c.rows; ++r) {
            const std::vector<std::string> fields = csvFields(lines[r + 1]);
            ASSERT_EQ(fields.size(), kept.columns.size()) << what << " row " << r + 1;
            for (std::size_t k = 0; k < fields.size(); ++k) {
                const PlainColumn& column = kept.columns[k];
                if (column.isText) {
                    ASSERT_EQ(column.texts[r], fields[k]) << what << " row " << r + 1;
                } else if (fields[k].empty()) {
                    ASSERT_TRUE(std::isnan(column.numbers[r])) << what << " " << column.name << " row " << r + 1;
                    ++undecided;
                } else {
                    ASSERT_EQ(column.numbers[r], std::stod(fields[k]))
                        << what << " " << column.name << " row " << r + 1;
                }
            }
        }
        EXPECT_GT(undecided, 0u) << what;  // some test no rule decided: the missing values are tried
        for (const PlainColumn& column : kept.columns)
            EXPECT_EQ(column.whole, column.name != "examinee_id" && column.name != "map_prob") << what << column.name;
        // Read back by the layer's reader, the file is the same table, whole columns and all.
        const Outcome<PlainTable> written = readResults(runner.file("examinees.csv"));
        ASSERT_TRUE(written.ok()) << failureText(written);
        expectSameTable(kept, *written, what);
        for (std::size_t k = 0; k < kept.columns.size(); ++k)
            EXPECT_EQ(kept.columns[k].whole, written->columns[k].whole) << what << kept.columns[k].name;
    }
    // A file alone keeps nothing in memory.
    TempFolder folder;
    PlainRunRequest fileOnly = sampleRequest({{"max_length", "5"}});
    fileOnly.examineesPath = folder.file("examinees.csv");
    const PlainRunResult written = runPlain(fileOnly);
    ASSERT_EQ(written.error, "");
    EXPECT_FALSE(written.hasExaminees);
    EXPECT_EQ(written.examinees.rowCount(), 0u);
    EXPECT_EQ(splitLines(TempFolder::read(fileOnly.examineesPath)).size(), 2001u);
}

// With no examinee at all every share and mean has nothing to divide by: NaN in memory, 0 (or the
// stopping table's 0) in the written tables, which keep their format.
TEST(PlainRun, SharesOverNoTestHaveNoValue) {
    TempFolder folder;
    PlainRunRequest request = sampleRequest({{"max_length", "5"}});
    request.data = PlainInput::text("");
    request.stopping = true;
    request.resultsPath = folder.file("results.csv");
    const PlainRunResult result = runPlain(request);
    ASSERT_EQ(result.error, "");
    EXPECT_EQ(result.summary.testsStarted, 0);
    ASSERT_EQ(result.results.rowCount(), 5u);
    for (const PlainColumn& column : result.results.columns) {
        for (double x : column.numbers) EXPECT_EQ(std::isnan(x), column.name != "length") << column.name;
    }
    EXPECT_EQ(splitLines(TempFolder::read(request.resultsPath))[1],
              "1,.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000");
    const PlainTable& stopping = result.stopping;
    for (std::size_t r = 0; r < stopping.rowCount(); ++r) {
        if (stopping.column("kind")->texts[r] != "summary") continue;
        EXPECT_EQ(cell(stopping, "tests", r), 0.0);
        for (const char* measure : {"atl", "pcc", "undecided_share", "fixed_pcc"})
            EXPECT_TRUE(std::isnan(cell(stopping, measure, r))) << measure;
    }
    for (double uses : result.exposure.column("uses")->numbers) EXPECT_EQ(uses, 0.0);
}

TEST(PlainTables, NamesTheColumnsOfEveryTable) {
    TempFolder folder;
    const std::string results =
        folder.write("r.csv",
                     "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,"
                     "SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,,BR_Accurate,BR_FalsePos,BR_FalseNeg,"
                     "BR_meanProb\r\n1,.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,\r\n");
    const Outcome<PlainTable> three = readResults(results);
    ASSERT_TRUE(three.ok()) << failureText(three);
    EXPECT_EQ(columnNames(*three).size(), 9u);  // no Bayes columns but with two groups
    EXPECT_EQ(three->column("map_mean_prob")->numbers, std::vector<double>{.775});

    const Outcome<PlainTable> exposure = plainTableText(
        "Item_ID,Collection,Freq,dropQQ,1,2,3\r\nN,,,\r\nP_Grp, , , ,.2,.3,.5\r\n\"A,1\",2,7, "
        ",.1,.2,.3\r\nB,1,0,1,.4,.5,.6\r\n",
        "e.csv");
    ASSERT_TRUE(exposure.ok()) << failureText(exposure);
    EXPECT_EQ(columnNames(*exposure),
              (std::vector<std::string>{"item", "collection", "uses", "drop", "p_group_1", "p_group_2", "p_group_3"}));
    EXPECT_EQ(exposure->column("item")->texts, (std::vector<std::string>{"A,1", "B"}));
    EXPECT_EQ(exposure->column("uses")->numbers, (std::vector<double>{7, 0}));
    EXPECT_EQ(exposure->column("drop")->numbers, (std::vector<double>{0, 1}));

    const Outcome<PlainTable> stopping =
        plainTableText("rule,threshold,kind,length,tests\r\nSPRT,,stopped,1,0\r\n", "s.csv");
    ASSERT_TRUE(stopping.ok());
    EXPECT_TRUE(stopping->column("kind")->isText);
    EXPECT_TRUE(std::isnan(stopping->column("threshold")->numbers[0]));

    const struct {
        std::string text, problemStart;
    } refused[] = {
        {"a,b\r\n1,2\r\n", "Table x.csv is none of the tables"},
        {"length,rule,true_group,decided_group,tests\r\n1,MAP,1,x,3\r\n", "Table x.csv line 2: decided_group \"x\""},
        {"length,rule,true_group,decided_group,tests\r\n1,MAP,1\r\n", "Table x.csv line 2: 3 fields"},
        {"Item_ID,Collection,Freq,dropQQ,1\r\nN\r\nP\r\nA,1,z, ,.5\r\n", "Table x.csv line 4: not an exposure"},
    };
    for (const auto& c : refused) {
        const std::string problem = failureText(plainTableText(c.text, "x.csv"));
        EXPECT_EQ(problem.substr(0, c.problemStart.size()), c.problemStart) << c.text;
    }
    EXPECT_EQ(failureText(readResults(folder.file("none.csv"))),
              "Table " + folder.file("none.csv") + " is not available.");
}

// The sample pool, script and enemies as tables, through the run: the same tables as from the files.
TEST(PlainRun, TablesAsInputsEqualTheFiles) {
    RunSettings settings;
    const std::optional<std::string> poolText = readWholeFile(samplePool);
    ASSERT_TRUE(poolText);
    const ItemPool pool = parsePool(*poolText, settings, "pool");
    PlainTable poolTable;
    poolTable.columns = {{"item", true, {}, pool.itemId}, {"collection", false, {}, {}}, {"drop", false, {}, {}}};
    for (std::int32_t g = 1; g <= pool.groupCount; ++g)
        poolTable.columns.push_back({"p_group_" + std::to_string(g), false, {}, {}});
    for (std::int32_t i = 1; i <= pool.itemCount; ++i) {
        poolTable.columns[1].numbers.push_back(pool.itemCollection[static_cast<std::size_t>(i - 1)]);
        poolTable.columns[2].numbers.push_back(i % 7 == 0 ? 1 : 0);
        for (std::int32_t g = 0; g < pool.groupCount; ++g)
            poolTable.columns[3 + g].numbers.push_back(pool.itemRow(i)[g]);
    }
    TempFolder folder;
    // The file the table stands for: the sample pool with every seventh item flagged.
    std::string flagged = "Item_ID,Collection,Freq,dropQQ,1,2\r\nN,,,\r\nP_Grp, , , ,.504,.496\r\n";
    {
        const std::vector<std::string> lines = splitLines(*poolText);
        for (std::size_t l = 3; l < lines.size(); ++l) {
            std::vector<std::string> f = csvFields(lines[l]);
            flagged += f[0] + ',' + f[1] + ",," + ((l - 2) % 7 == 0 ? "1" : "") + ',' + f[4] + ',' + f[5] + "\r\n";
        }
    }
    const std::string flaggedPool = folder.write("flagged.csv", flagged);
    PlainTable script;
    script.columns = {{"collection", false, {}, {}}, {"randomization", false, {}, {}}};
    for (int slot = 1; slot <= 80; ++slot) {
        script.columns[0].numbers.push_back(1 + slot % 4);
        script.columns[1].numbers.push_back(slot % 3 + 1);
    }
    std::string scriptText = "Slot,Collection,Comment,Factor\r\n";
    for (int slot = 1; slot <= 80; ++slot)
        scriptText +=
            std::to_string(slot) + "," + std::to_string(1 + slot % 4) + ",," + std::to_string(slot % 3 + 1) + "\r\n";
    PlainTable enemies;
    enemies.columns = {{"set", false, {1, 1, 2, 2, 2}, {}},
                       {"item", true, {}, {"I0078", "I0248", "I0040", "I0001", "I0002"}}};
    const std::string enemiesText = "Set,N\r\n1,2,I0078,I0248\r\n2,3,I0040,I0001,I0002\r\n";

    const struct {
        std::string name;
        std::vector<std::pair<std::string, std::string>> settings;
    } cases[] = {
        {"pool", {{"max-length", "30"}, {"no-uniform-priors", "true"}, {"drop-items", "true"}}},
        {"script", {{"max-length", "30"}, {"follow-script", "true"}}},
        {"enemies", {{"max-length", "30"}, {"block-enemies", "true"}, {"randomization", "3"}}},
    };
    for (const auto& c : cases) {
        PlainRunRequest fromFiles = sampleRequest(c.settings), fromTables = sampleRequest(c.settings);
        fromFiles.pool = PlainInput::path(flaggedPool);
        fromTables.pool = PlainInput::fromTable(poolTable);
        fromTables.priors = pool.groupPrior;
        fromFiles.script = PlainInput::path(folder.write("script.csv", scriptText));
        fromTables.script = c.name == "script" ? PlainInput::fromTable(script) : fromFiles.script;
        fromFiles.enemies = PlainInput::path(folder.write("enemies.csv", enemiesText));
        fromTables.enemies = c.name == "enemies" ? PlainInput::fromTable(enemies) : PlainInput::text(enemiesText);
        const PlainRunResult a = runPlain(fromFiles), b = runPlain(fromTables);
        ASSERT_EQ(a.error, "") << c.name;
        ASSERT_EQ(b.error, "") << c.name;
        expectSameTable(a.results, b.results, c.name + " results");
        expectSameTable(a.exposure, b.exposure, c.name + " exposure");
        EXPECT_EQ(b.exposure.rowCount(), c.name == "pool" ? 258u : 300u);  // 42 of 300 dropped
    }
}

// Data given as a matrix with its groups run as the response file they stand for: the same
// written tables byte for byte, and the same examinees once the identifiers are given too.
TEST(PlainRun, AnswerMatrixRunsAsTheResponseFile) {
    const Outcome<ObservedAnswers> read = readObservedAnswerFiles({sampleData});
    ASSERT_TRUE(read);
    PlainAnswers matrix;
    matrix.form = PlainAnswers::Form::Matrix;
    matrix.rows = read->examineeCount();
    matrix.columns = read->itemCount();
    for (const Answer a : read->answers)
        matrix.cells.push_back(a == Answer::NotAdministered ? std::nan("") : static_cast<double>(a));
    matrix.groups.assign(read->groups.begin(), read->groups.end());
    matrix.examineeIds = read->examineeIds;
    TempFolder folder;
    const std::vector<std::pair<std::string, std::string>> settings = {
        {"max_length", "30"}, {"tests_per_person", "2"}, {"use_sprt", "true"}};
    PlainRunRequest fromFile = sampleRequest(settings), fromMatrix = sampleRequest(settings);
    fromMatrix.data = PlainInput::fromAnswers(matrix);
    for (PlainRunRequest* r : {&fromFile, &fromMatrix}) {
        const std::string name = r == &fromFile ? "file" : "matrix";
        r->resultsPath = folder.file(name + "_results.csv");
        r->exposurePath = folder.file(name + "_exposure.csv");
        r->stoppingPath = folder.file(name + "_stopping.csv");
        r->examinees = true;
    }
    const PlainRunResult a = runPlain(fromFile), b = runPlain(fromMatrix);
    ASSERT_EQ(a.error, "");
    ASSERT_EQ(b.error, "");
    for (const char* table : {"_results.csv", "_exposure.csv", "_stopping.csv"}) {
        const std::string written = TempFolder::read(folder.file(std::string("file") + table));
        EXPECT_FALSE(written.empty()) << table;
        EXPECT_EQ(written, TempFolder::read(folder.file(std::string("matrix") + table))) << table;
    }
    expectSameTable(a.examinees, b.examinees, "examinees");
}

TEST(PlainRun, AnswerMatrixRefusals) {
    const auto matrixOf = [](std::size_t rows, std::size_t columns, double cell, std::vector<double> groups) {
        PlainAnswers m;
        m.form = PlainAnswers::Form::Matrix;
        m.rows = rows;
        m.columns = columns;
        m.cells.assign(rows * columns, cell);
        m.groups = std::move(groups);
        return m;
    };
    const struct {
        std::string name;
        PlainAnswers matrix;
        std::vector<std::pair<std::string, std::string>> settings;
        std::string error;
    } cases[] = {
        {"no groups", matrixOf(2, 300, 1, {}), {}, "A data matrix needs each examinee's true group (groups)"},
        {"groups too short", matrixOf(2, 300, 1, {1}), {}, "The data have 2 examinees but 1 groups"},
        {"not 0, 1 or missing",
         matrixOf(2, 300, 2, {1, 2}),
         {},
         "Data row 1, column 1: 2 is neither 1 (right), 0 (wrong) nor missing (not administered)"},
        {"group past the categories",
         matrixOf(2, 300, 1, {1, 3}),
         {},
         "Examinee 2: group 3; a run takes groups from 1 to 2 (categories)"},
        {"group past one digit",
         matrixOf(1, 300, 1, {11}),
         {{"categories", "12"}},
         "Examinee 1: group 11; a run takes groups from 1 to 10 (one digit in a response line)"},
        {"no group",
         matrixOf(1, 300, 1, {std::nan("")}),
         {},
         "Examinee 1: no true group; a run takes groups from 1 to 2 (categories)"},
        {"items not the pool's", matrixOf(2, 299, 0, {1, 2}), {}, "The data have 299 items but the pool has 300 items"},
    };
    for (const auto& c : cases) {
        PlainRunRequest request = sampleRequest(c.settings);
        request.data = PlainInput::fromAnswers(c.matrix);
        const PlainRunResult result = runPlain(request);
        EXPECT_EQ(result.error, c.error) << c.name;
        EXPECT_EQ(result.errorKind, PlainProblemKind::Input) << c.name;
    }
    PlainAnswers named = matrixOf(1, 300, 1, {1});
    named.examineeIds = {"an identifier too long"};
    PlainRunRequest request = sampleRequest();
    request.data = PlainInput::fromAnswers(named);
    EXPECT_EQ(runPlain(request).error,
              "Examinee 1: identifier \"an identifier too long\" is not at most 11 characters on one line");
}

// Every setting is checked as the runner checks it before anything runs (the results file it names
// is not even created), and each refusal says what kind it is, naming the setting as it was given.
TEST(PlainRun, RefusesBadSettingsBeforeAnythingRuns) {
    TempFolder folder;
    using Kind = PlainProblemKind;
    const struct {
        std::pair<std::string, std::string> setting;
        Kind kind;
        std::string error;
    } cases[] = {
        {{"trace_candidates", "-1"},
         Kind::SettingValue,
         "setting trace_candidates: \"-1\" is not a whole number from 0 to 1000"},
        {{"trace_candidates", "1001"},
         Kind::SettingValue,
         "setting trace_candidates: \"1001\" is not a whole number from 0 to 1000"},
        {{"threads", "1025"}, Kind::SettingValue, "setting threads: \"1025\" is not a whole number from 1 to 1024"},
        {{"trace_examinees", "-5"},
         Kind::SettingValue,
         "setting trace_examinees: \"-5\" is not a whole number from 0 to 9223372036854775807"},
        {{"threads", "-1"}, Kind::SettingValue, "setting threads: \"-1\" is not a whole number from 1 to 1024"},
        {{"threads", "0"}, Kind::SettingValue, "setting threads: \"0\" is not a whole number from 1 to 1024"},
        {{"seed", "-1"}, Kind::SettingValue, "setting seed: \"-1\" is not a whole number from 0 to 4294967295"},
        {{"seed", "4294967296"},
         Kind::SettingValue,
         "setting seed: \"4294967296\" is not a whole number from 0 to 4294967295"},
        {{"seed", "1.5"}, Kind::SettingValue, "setting seed: \"1.5\" is not a whole number from 0 to 4294967295"},
        {{"stop_probabilities", "2"},
         Kind::SettingValue,
         "setting stop_probabilities: Stop probability 2 must lie between 0 and 1 (both excluded)."},
        {{"stop_probability", "nan"},
         Kind::SettingValue,
         "setting stop_probability: Stop probability NaN must lie between 0 and 1 (both excluded)."},
        {{"stop_probability", "x"}, Kind::SettingValue, "setting stop_probability: \"x\" is not a number"},
        {{"randomization", "-1"},
         Kind::SettingValue,
         "setting randomization: Randomization factor must be at least 0."},
        {{"max_length", "0"}, Kind::SettingValue, "setting max_length: Maximum test length must be at least 1."},
        {{"tests-per-person", "6"},
         Kind::SettingValue,
         "setting tests-per-person: N tests per person must be from 1 to 5."},
        {{"max_length", "2x"}, Kind::SettingValue, "setting max_length: \"2x\" is not a whole number"},
        {{"max_lenght", "20"},
         Kind::SettingName,
         "there is no setting named \"max_lenght\"; the closest valid name is \"max_length\""},
        {{"trace_candidate", "2"},
         Kind::SettingName,
         "there is no setting named \"trace_candidate\"; the closest valid name is \"trace_candidates\""},
        {{"progres", "2"},
         Kind::SettingName,
         "there is no setting named \"progres\"; the closest valid name is \"progress\""},
    };
    for (const auto& c : cases) {
        PlainRunRequest request = sampleRequest({c.setting});
        request.argumentNames = {"pool", "data", "progress"};
        request.resultsPath = folder.file("results.csv");
        const PlainRunResult result = runPlain(request);
        EXPECT_EQ(result.error, c.error) << c.setting.first;
        EXPECT_EQ(result.errorKind, c.kind) << c.setting.first;
        EXPECT_FALSE(std::filesystem::exists(request.resultsPath)) << c.setting.first;
    }
    // The boundaries the runner takes.
    const PlainRunResult taken = runPlain(sampleRequest({{"max_length", "1"},
                                                         {"randomization", "0"},
                                                         {"seed", "4294967295"},
                                                         {"trace_candidates", "1000"},
                                                         {"stop_probability", "0.5"}}));
    EXPECT_EQ(taken.error, "");
    EXPECT_EQ(taken.results.rowCount(), 1u);
}

// Every way a run fails comes back as the system's text, and no run makes a temporary file.
TEST(PlainRun, ErrorsComeBackAsTextAndNoTemporaryFileIsMade) {
    TempFolder scratch;
    const std::string tmp = scratch.file("tmp");
    std::filesystem::create_directories(tmp);
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string keptTmp = oldTmp ? oldTmp : "";
    ::setenv("TMPDIR", tmp.c_str(), 1);
    // Looked at from the progress callback: not only afterwards, but while the run goes on.
    bool tmpEmptyThroughout = true;
    const auto watchTmp = [&](PlainRunRequest request) {
        request.progress = [&](const ProgressReport&) {
            tmpEmptyThroughout = tmpEmptyThroughout && std::filesystem::is_empty(tmp);
        };
        return request;
    };

    PlainTable noGroups;
    noGroups.columns = {{"item", true, {}, {"A"}}, {"collection", false, {1}, {}}};
    PlainTable gap;
    gap.columns = {{"item", true, {}, {"A", "B"}},
                   {"collection", false, {1, std::nan("")}, {}},
                   {"p_group_1", false, {.5, .5}, {}}};
    const struct {
        std::string name;
        PlainRunRequest request;
        std::string error;
        PlainProblemKind kind = PlainProblemKind::Input;
    } cases[] = {
        {"missing data",
         [] {
             PlainRunRequest r = sampleRequest();
             r.data = PlainInput::path("/nonexistent/answers.txt");
             return r;
         }(),
         "Data file /NONEXISTENT/ANSWERS.TXT is not available."},
        {"pool without groups",
         [&] {
             PlainRunRequest r = sampleRequest();
             r.pool = PlainInput::fromTable(noGroups);
             return r;
         }(),
         "Pool table has no column p_group_1"},
        {"pool with a gap",
         [&] {
             PlainRunRequest r = sampleRequest();
             r.pool = PlainInput::fromTable(gap);
             return r;
         }(),
         "Pool table: column collection has no number in row 2"},
        {"data as a table",
         [&] {
             PlainRunRequest r = sampleRequest();
             r.data = PlainInput::fromTable(gap);
             return r;
         }(),
         "The data cannot be given as a table; give its path, its lines or a matrix"},
        {"results over the pool",
         [&] {
             PlainRunRequest r = sampleRequest();
             r.resultsPath = samplePool;
             return r;
         }(),
         "Output file " + upperName(samplePool) + " is also the pool file; choose another name for the results.",
         PlainProblemKind::Output},
        {"trace over the data",
         [&] {
             PlainRunRequest r = sampleRequest();
             r.tracePath = sampleData;
             return r;
         }(),
         "Trace file " + upperName(sampleData) + " is also the data file; choose another name for the trace.",
         PlainProblemKind::Output},
    };
    for (const auto& c : cases) {
        const PlainRunResult result = runPlain(c.request);
        EXPECT_EQ(result.error.substr(0, c.error.size()), c.error) << c.name << ": " << result.error;
        EXPECT_EQ(result.errorKind, c.kind) << c.name;
        EXPECT_EQ(result.results.rowCount(), 0u) << c.name;
    }

    // An exposure table that could not be written fails the run; an icol error only cuts it short.
    PlainRunRequest lostExposure = sampleRequest({{"max-length", "5"}});
    lostExposure.exposurePath = scratch.file("missing/folder/expos.csv");
    const PlainRunResult lost = runPlain(lostExposure);
    EXPECT_EQ(lost.error, "Exposure file " + upperName(lostExposure.exposurePath) + " is not available.");
    EXPECT_EQ(lost.results.rowCount(), 0u);
    PlainTable ninth;
    ninth.columns = {{"item", true, {}, {}},
                     {"collection", false, {}, {}},
                     {"p_group_1", false, {}, {}},
                     {"p_group_2", false, {}, {}}};
    for (int i = 1; i <= 300; ++i) {
        ninth.columns[0].texts.push_back("I" + std::to_string(i));
        ninth.columns[1].numbers.push_back(9);
        ninth.columns[2].numbers.push_back(.4);
        ninth.columns[3].numbers.push_back(.7);
    }
    PlainRunRequest cut = sampleRequest({{"max-length", "5"}});
    cut.pool = PlainInput::fromTable(ninth);
    const PlainRunResult cutShort = runPlain(watchTmp(cut));
    EXPECT_EQ(cutShort.error, "");
    ASSERT_FALSE(cutShort.warnings.empty());
    EXPECT_EQ(cutShort.warnings.front(), "icol error  1");
    EXPECT_EQ(cutShort.results.rowCount(), 5u);
    EXPECT_LT(cutShort.summary.testsStarted, cutShort.summary.expectedTests);

    // A message about an input given as a table names the file the table stands for.
    PlainRunRequest threeGroups = sampleRequest({{"categories", "3"}});
    gap.columns[1].numbers[1] = 2;
    threeGroups.pool = PlainInput::fromTable(gap);
    const PlainRunResult refused = runPlain(threeGroups);
    EXPECT_NE(refused.error.find(" POOL.CSV "), std::string::npos) << refused.error;

    // Whole runs with every table kept in memory, the inputs given as texts and tables.
    PlainRunRequest whole = sampleRequest({{"follow_script", "true"}, {"block_enemies", "true"}});
    whole.pool = PlainInput::text(*readWholeFile(samplePool));
    whole.script = PlainInput::text(*readWholeFile(sampleScript));
    whole.enemies = PlainInput::text(*readWholeFile(sampleEnemies));
    whole.trace = whole.stopping = whole.confusion = true;
    const PlainRunResult kept = runPlain(watchTmp(whole));
    EXPECT_EQ(kept.error, "");
    EXPECT_EQ(kept.trace.rowCount(), 2000u * 80u);

    // A cancel at the first progress point: no tables.
    PlainRunRequest cancelled = watchTmp(sampleRequest());
    cancelled.pool = PlainInput::text(*readWholeFile(samplePool));
    int progressCalls = 0;
    const auto watched = cancelled.progress;
    cancelled.progress = [&](const ProgressReport& report) {
        watched(report);
        ++progressCalls;
    };
    cancelled.cancelled = [&] { return progressCalls > 0; };
    const PlainRunResult stopped = runPlain(cancelled);
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_EQ(stopped.error, "");
    EXPECT_LT(stopped.summary.testsStarted, stopped.summary.expectedTests);
    EXPECT_EQ(stopped.results.rowCount(), 0u);

    EXPECT_TRUE(tmpEmptyThroughout);
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
    if (oldTmp)
        ::setenv("TMPDIR", keptTmp.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

TEST(PlainGenerateAndCheck, WriteTheSamplesAndReportFindings) {
    TempFolder folder;
    using Kind = PlainProblemKind;
    const struct {
        std::vector<std::pair<std::string, std::string>> options;
        Kind kind;
        std::string problemStart;
    } refused[] = {
        {{{"items", "many"}}, Kind::SettingValue, "generate option items: \"many\" is not a whole number"},
        {{{"item_quality", "-1"}}, Kind::SettingValue, "--item-quality must be a number from 0 up."},
        {{{"group_shares", ".3,.3"}}, Kind::SettingValue, "--group-shares must add up to 1"},
        {{{"seed", "-1"}}, Kind::SettingValue, "setting seed: \"-1\" is not a whole number"},
        {{{"force", "yes"}}, Kind::SettingValue, "setting force: \"yes\" is neither true nor false"},
        {{{"colour", "3"}}, Kind::SettingName, "there is no option named \"colour\""},
        {{{"item_qualty", "3"}},
         Kind::SettingName,
         "there is no option named \"item_qualty\"; the closest valid name is \"item_quality\""},
        {{{"groups", "11"}}, Kind::SettingValue, "--groups must be from 2 to 10."},
    };
    for (const auto& c : refused) {
        const PlainGenerated g = generatePlain(c.options, folder.file("no"));
        EXPECT_EQ(g.problem.substr(0, c.problemStart.size()), c.problemStart) << g.problem;
        EXPECT_EQ(g.problemKind, c.kind) << g.problem;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.file("no")));
    // Every option generate takes, as the runner's generate writes them.
    const std::vector<std::pair<std::string, std::string>> every = {{"items", "60"},
                                                                    {"collections", "3"},
                                                                    {"groups", "3"},
                                                                    {"examinees", "50"},
                                                                    {"script_length", "20"},
                                                                    {"blank_share", "0.1"},
                                                                    {"group_shares", ".2,.3,.5"},
                                                                    {"item_quality", "1.5"},
                                                                    {"seed", "7"}};
    TempFolder runner;
    ASSERT_EQ(std::system((std::string(QUILLON_SIM) +
                           " generate --quiet --items 60 --collections 3 --groups 3 --examinees 50 --script-length 20 "
                           "--blank-share 0.1 --group-shares .2,.3,.5 --item-quality 1.5 --seed 7 --out " +
                           runner.file("") + " >/dev/null 2>&1")
                              .c_str()),
              0);
    PlainGenerated made = generatePlain(every, folder.file(""));
    ASSERT_EQ(made.problem, "");
    for (std::string_view name : {samplePoolName, sampleScriptName, sampleEnemiesName, sampleResponseName})
        EXPECT_EQ(TempFolder::read(folder.file(std::string(name))), TempFolder::read(runner.file(std::string(name))))
            << name;
    // A second time only with force.
    EXPECT_EQ(generatePlain(every, folder.file("")).problemKind, Kind::Output);
    std::vector<std::pair<std::string, std::string>> forced = every;
    forced.emplace_back("force", "true");
    made = generatePlain(forced, folder.file(""));
    ASSERT_EQ(made.problem, "");
    EXPECT_EQ(splitLines(*readWholeFile(made.data)).size(), 50u);

    PlainRunRequest request;
    request.pool = PlainInput::path(made.pool);
    request.data = PlainInput::path(made.data);
    request.settings = {{"max-length", "20"}, {"categories", "3"}};
    PlainChecked clean = checkPlain(request);
    EXPECT_EQ(clean.problem, "");
    EXPECT_EQ(clean.exitCode, clean.findings.rowCount() == 0 ? 0 : 3);
    EXPECT_EQ(columnNames(clean.findings), (std::vector<std::string>{"file", "line", "column", "kind", "what", "fix"}));

    request.pool = PlainInput::text("Item_ID,Collection,Freq,dropQQ,1,2\r\nN\r\nP_Grp, , , ,.5,.5\r\nA,1,,,.5\r\n");
    const PlainChecked broken = checkPlain(request);
    EXPECT_EQ(broken.exitCode, 1);
    ASSERT_GT(broken.findings.rowCount(), 0u);
    EXPECT_EQ(broken.findings.column("kind")->texts.front(), "error");
    EXPECT_EQ(broken.findings.column("file")->texts.front(), "pool.csv");
    const PlainChecked misnamed = checkPlain(sampleRequest({{"max_lenght", "1"}}));
    EXPECT_EQ(misnamed.problem, "there is no setting named \"max_lenght\"; the closest valid name is \"max_length\"");
    EXPECT_EQ(misnamed.problemKind, PlainProblemKind::SettingName);
}

PlainValue tableOf(std::vector<std::pair<std::string, PlainValue>> entries) {
    PlainValue table;
    table.entries = std::move(entries);
    return table;
}

PlainValue listOf(std::vector<PlainValue> items) {
    return {PlainValue::Kind::List, {}, 0, 0, false, std::move(items), {}};
}

TEST(PlainStudyDesign, WritesTheStudyFileWithTypedValuesDashedKeysAndAbsolutePaths) {
    const PlainValue design = tableOf({
        {"study", tableOf({{"name", PlainValue::ofText("say \"hi\"\\\n")}, {"output", PlainValue::ofText("out/")}})},
        {"settings", tableOf({{"use_sprt", PlainValue::ofFlag(false)},
                              {"alpha", PlainValue::ofNumber(1)},
                              {"pool", PlainValue::ofText("p.csv")}})},
        {"factors", tableOf({{"method", PlainValue::ofText("Shannon")},
                             {"max_length", listOf({PlainValue::ofWhole(10), PlainValue::ofNumber(2.5e-7)})}})},
        {"data", tableOf({{"generate", tableOf({{"group_shares", PlainValue::ofNumber(0.5)}})}})},
    });
    // R's single values become arrays where the file takes one; Python's stay as given.
    const Outcome<PlainStudyDesign> r = studyDesignToml(design, "/work/here", true);
    ASSERT_TRUE(r) << r.failure().message;
    EXPECT_EQ(r->outputFolder, "/work/here/out");
    EXPECT_EQ(r->toml,
              "[study]\nname = \"say \\\"hi\\\"\\\\\\n\"\noutput = \"/work/here/out\"\n\n"
              "[settings]\nuse-sprt = false\nalpha = 1.0\npool = \"/work/here/p.csv\"\n\n"
              "[factors]\nmethod = [\"Shannon\"]\nmax-length = [10, 2.5e-07]\n\n"
              "[data.generate]\ngroup-shares = [0.5]\n");
    const Outcome<PlainStudyDesign> python = studyDesignToml(design, "/work/here", false);
    ASSERT_TRUE(python);
    EXPECT_NE(python->toml.find("method = \"Shannon\"\n"), std::string::npos);

    // Without an output, the folder is the name's, in the working folder.
    const Outcome<PlainStudyDesign> named =
        studyDesignToml(tableOf({{"study", tableOf({{"name", PlainValue::ofText("s")}})}}), "/w", false);
    ASSERT_TRUE(named);
    EXPECT_EQ(named->outputFolder, "/w/s_output");
    EXPECT_EQ(named->toml, "[study]\nname = \"s\"\noutput = \"/w/s_output\"\n");

    const std::pair<PlainValue, std::string> refused[] = {
        {PlainValue::ofText("x"), "Study design: give the study file's tables"},
        {tableOf({{"factors", tableOf({{"max_length", listOf({})}, {"max-length", listOf({})}})}}),
         "Study design, key \"factors.max-length\": is given twice"},
        {tableOf({{"study", tableOf({{"output", PlainValue::ofWhole(3)}})}}),
         "Study design, key \"study.output\": expects a text in quotes"},
        {tableOf({{"settings", tableOf({{"alpha", PlainValue::ofNumber(std::nan(""))}})}}),
         "Study design, key \"settings.alpha\": a study file takes no NaN"},
    };
    for (const auto& [value, message] : refused) {
        const Outcome<PlainStudyDesign> written = studyDesignToml(value, "/w", false);
        ASSERT_FALSE(written) << message;
        EXPECT_EQ(written.failure().kind, FailureKind::Input);
        EXPECT_EQ(written.failure().message.substr(0, message.size()), message);
    }
}

// The study's four tables, by hand: a numeric and a text factor (with a quote, a comma and a line
// break), empty fields, CR LF line ends.
struct StudyTablesByHand {
    std::string results, outcomes, summary, conditions;

    StudyTablesByHand() {
        std::string tail;
        for (int m = 0; m < 12; ++m) tail += ",";
        results =
            "condition,max_length,method,replication,length,map_accurate,map_false_pos,map_false_neg,"
            "map_mean_prob,sprt_decided,sprt_accurate,sprt_false_pos,sprt_false_neg,br_accurate,br_false_pos,"
            "br_false_neg,br_mean_prob\r\n"
            "1,10,\"say \"\"a,b\"\"\r\nc\",1,1,0.5,0.25,0.25,0.75,0,,,,0.5,0.25,0.25,0.75\r\n"
            "2,20,Shannon,1,1,0.5,0.25,0.25,0.75,0,,,,,,,\r\n";
        outcomes =
            "condition,max_length,method,replication,rule,threshold,outcome,value\r\n"
            "1,10,\"say \"\"a,b\"\"\r\nc\",1,SPRT,,atl,7.5\r\n"
            "2,20,Shannon,1,,,max_exposure_rate,0.25\r\n";
        std::string summaryHeader = "condition,max_length,method,length,replications";
        for (const char* m :
             {"map_accurate", "map_false_pos", "map_false_neg", "map_mean_prob", "sprt_decided", "sprt_accurate",
              "sprt_false_pos", "sprt_false_neg", "br_accurate", "br_false_pos", "br_false_neg", "br_mean_prob"})
            for (const char* part : {"_n", "_mean", "_sd", "_ci_low", "_ci_high", "_pooled"})
                summaryHeader += "," + std::string(m) + part;
        std::string empty;
        for (int f = 0; f < 72; ++f) empty += f == 0 ? "3" : ",";
        summary = summaryHeader + "\r\n2,20,Shannon,1,3," + empty + "\r\n";
        conditions =
            "condition,max_length,method,rule,threshold,outcome,n,mean,sd,ci_low,ci_high,pooled,reference,"
            "difference_n,difference_mean,difference_sd,difference_ci_low,difference_ci_high\r\n"
            "1,10,Shannon,Posterior,0.95,pcc,3,0.9,0.1,0.65,1.15,0.9,1,,,,,\r\n"
            "2,20,Shannon,Posterior,0.95,pcc,3,0.8,0.1,0.55,1.05,0.8,1,3,-0.1,0,-0.1,-0.1\r\n";
    }

    void write(const TempFolder& folder) const {
        folder.write("study_results.csv", results);
        folder.write("study_outcomes.csv", outcomes);
        folder.write("study_summary.csv", summary);
        folder.write("study_conditions.csv", conditions);
    }
};

TEST(PlainStudyTables, ReadsTheFourTablesWithTypedFactorsAndMissingValues) {
    const TempFolder folder;
    const StudyTablesByHand tables;
    tables.write(folder);
    const Outcome<PlainStudyTables> read = readStudyTables(folder.file(""));
    ASSERT_TRUE(read) << read.failure().message;
    const PlainColumn* maxLength = read->results.column("max_length");
    ASSERT_NE(maxLength, nullptr);
    EXPECT_FALSE(maxLength->isText);
    EXPECT_TRUE(maxLength->whole);
    EXPECT_EQ(maxLength->numbers, (std::vector<double>{10, 20}));
    const PlainColumn* method = read->results.column("method");
    ASSERT_TRUE(method != nullptr && method->isText);
    EXPECT_EQ(method->texts, (std::vector<std::string>{"say \"a,b\"\r\nc", "Shannon"}));
    EXPECT_TRUE(std::isnan(read->results.column("sprt_accurate")->numbers[0]));
    EXPECT_TRUE(std::isnan(read->results.column("br_accurate")->numbers[1]));
    EXPECT_EQ(read->outcomes.column("rule")->texts, (std::vector<std::string>{"SPRT", ""}));
    EXPECT_TRUE(std::isnan(read->outcomes.column("threshold")->numbers[0]));
    EXPECT_EQ(read->summary.rowCount(), 1u);
    EXPECT_TRUE(std::isnan(read->summary.column("br_mean_prob_pooled")->numbers[0]));
    EXPECT_TRUE(read->summary.column("map_accurate_n")->whole);
    EXPECT_TRUE(std::isnan(read->conditions.column("difference_mean")->numbers[0]));
    EXPECT_EQ(read->conditions.column("difference_mean")->numbers[1], -0.1);

    // A runner's table reader points to the study's.
    const Outcome<PlainTable> one = readResults(folder.file("study_summary.csv"));
    ASSERT_FALSE(one);
    EXPECT_NE(one.failure().message.find("read_study"), std::string::npos) << one.failure().message;

    // A table missing, or with another table's header, is named.
    const std::pair<std::string, std::string> broken[] = {
        {"study_outcomes.csv", tables.conditions},
        {"study_summary.csv", "condition,other,length,replications\r\n"},
        {"study_conditions.csv", "Nitems,map\r\n"},
        {"study_results.csv", tables.results.substr(0, tables.results.size() - 10)},
    };
    for (const auto& [name, text] : broken) {
        const TempFolder bad;
        tables.write(bad);
        bad.write(name, text);
        const Outcome<PlainStudyTables> refused = readStudyTables(bad.file(""));
        ASSERT_FALSE(refused) << name;
        EXPECT_EQ(refused.failure().kind, FailureKind::Input);
        EXPECT_NE(refused.failure().message.find(bad.file(name)), std::string::npos) << refused.failure().message;
    }
    const TempFolder none;
    EXPECT_FALSE(readStudyTables(none.file("")));
}

}  // namespace
}  // namespace quillon
