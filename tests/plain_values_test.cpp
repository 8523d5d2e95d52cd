#include "quillon/plain_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "quillon/input_files.h"
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
    request.threads = 2;
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

std::vector<std::string> columnNames(const PlainTable& table) {
    std::vector<std::string> names;
    for (const PlainColumn& c : table.columns) names.push_back(c.name);
    return names;
}

// Every report of the sample run, once through the runner and once through the layer: the same bytes.
TEST(PlainRun, WritesTheRunnersBytesAndReadsThemBack) {
    TempFolder runner, layer;
    const std::vector<std::string> tables = {"results.csv", "expos.csv", "trace.csv", "stopping.csv", "confusion.csv"};
    ASSERT_EQ(runSim("--pool " + samplePool + " --data " + sampleData + " --results " + runner.file(tables[0]) +
                     " --exposure " + runner.file(tables[1]) + " --trace " + runner.file(tables[2]) +
                     " --trace-examinees 30 --trace-candidates 2 --stopping " + runner.file(tables[3]) +
                     " --stop-probability .9 --confusion " + runner.file(tables[4]) + " --method MinCost --threads 2"),
              0);
    PlainRunRequest request = sampleRequest({{"method", "MinCost"}});
    request.resultsPath = layer.file(tables[0]);
    request.exposurePath = layer.file(tables[1]);
    request.tracePath = layer.file(tables[2]);
    request.traceExaminees = 30;
    request.traceCandidates = 2;
    request.stoppingPath = layer.file(tables[3]);
    request.stopProbabilities = {.9};
    request.confusionPath = layer.file(tables[4]);
    const PlainRunResult result = runPlain(request);
    ASSERT_EQ(result.error, "");
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_EQ(result.doneMessage.substr(0, 5), "Done\n");
    for (const std::string& name : tables) {
        EXPECT_EQ(TempFolder::read(layer.file(name)), TempFolder::read(runner.file(name))) << name;
    }
    const std::pair<const PlainTable*, std::string> returned[] = {{&result.results, tables[0]},
                                                                  {&result.exposure, tables[1]},
                                                                  {&result.trace, tables[2]},
                                                                  {&result.stopping, tables[3]},
                                                                  {&result.confusion, tables[4]}};
    for (const auto& [table, name] : returned) {
        const PlainRead read = readResults(runner.file(name));
        ASSERT_TRUE(read.ok()) << read.problem;
        expectSameTable(*table, read.table, name);
    }
    EXPECT_EQ(result.results.rowCount(), 80u);
    EXPECT_EQ(result.exposure.rowCount(), 300u);
}

TEST(PlainTables, NamesTheColumnsOfEveryTable) {
    TempFolder folder;
    const std::string results =
        folder.write("r.csv",
                     "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,"
                     "SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,,BR_Accurate,BR_FalsePos,BR_FalseNeg,"
                     "BR_meanProb\r\n1,.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,\r\n");
    const PlainRead three = readResults(results);
    ASSERT_TRUE(three.ok()) << three.problem;
    EXPECT_EQ(columnNames(three.table).size(), 9u);  // no Bayes columns but with two groups
    EXPECT_EQ(three.table.column("map_mean_prob")->numbers, std::vector<double>{.775});

    const PlainRead exposure = plainTableText(
        "Item_ID,Collection,Freq,dropQQ,1,2,3\r\nN,,,\r\nP_Grp, , , ,.2,.3,.5\r\n\"A,1\",2,7, "
        ",.1,.2,.3\r\nB,1,0,1,.4,.5,.6\r\n",
        "e.csv");
    ASSERT_TRUE(exposure.ok()) << exposure.problem;
    EXPECT_EQ(columnNames(exposure.table),
              (std::vector<std::string>{"item", "collection", "uses", "drop", "p_group_1", "p_group_2", "p_group_3"}));
    EXPECT_EQ(exposure.table.column("item")->texts, (std::vector<std::string>{"A,1", "B"}));
    EXPECT_EQ(exposure.table.column("uses")->numbers, (std::vector<double>{7, 0}));
    EXPECT_EQ(exposure.table.column("drop")->numbers, (std::vector<double>{0, 1}));

    const PlainRead stopping = plainTableText("rule,threshold,kind,length,tests\r\nSPRT,,stopped,1,0\r\n", "s.csv");
    ASSERT_TRUE(stopping.ok());
    EXPECT_TRUE(stopping.table.column("kind")->isText);
    EXPECT_TRUE(std::isnan(stopping.table.column("threshold")->numbers[0]));

    const struct {
        std::string text, problemStart;
    } refused[] = {
        {"a,b\r\n1,2\r\n", "Table x.csv is none of the tables"},
        {"length,rule,true_group,decided_group,tests\r\n1,MAP,1,x,3\r\n", "Table x.csv line 2: decided_group \"x\""},
        {"length,rule,true_group,decided_group,tests\r\n1,MAP,1\r\n", "Table x.csv line 2: 3 fields"},
        {"Item_ID,Collection,Freq,dropQQ,1\r\nN\r\nP\r\nA,1,z, ,.5\r\n", "Table x.csv line 4: not an exposure"},
    };
    for (const auto& c : refused) {
        const PlainRead read = plainTableText(c.text, "x.csv");
        EXPECT_EQ(read.problem.substr(0, c.problemStart.size()), c.problemStart) << c.text;
    }
    EXPECT_EQ(readResults(folder.file("none.csv")).problem, "Table " + folder.file("none.csv") + " is not available.");
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

// Every way a run fails comes back as the system's text, and no temporary file is left.
TEST(PlainRun, ErrorsComeBackAsTextAndLeaveNoFile) {
    TempFolder scratch;
    const std::string tmp = scratch.file("tmp");
    std::filesystem::create_directories(tmp);
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string keptTmp = oldTmp ? oldTmp : "";
    ::setenv("TMPDIR", tmp.c_str(), 1);

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
    } cases[] = {
        {"setting name", sampleRequest({{"max_length", "20"}}), "there is no setting named \"max_length\""},
        {"setting value", sampleRequest({{"max-length", "2x"}}), "setting max-length: \"2x\" is not a whole number"},
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
         "The data cannot be given as a table; give its path or its text"},
    };
    for (const auto& c : cases) {
        const PlainRunResult result = runPlain(c.request);
        EXPECT_EQ(result.error.substr(0, c.error.size()), c.error) << c.name << ": " << result.error;
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
    const PlainRunResult cutShort = runPlain(cut);
    EXPECT_EQ(cutShort.error, "");
    ASSERT_FALSE(cutShort.warnings.empty());
    EXPECT_EQ(cutShort.warnings.front(), "icol error  1");
    EXPECT_EQ(cutShort.results.rowCount(), 5u);
    EXPECT_LT(cutShort.summary.testsStarted, cutShort.summary.expectedTests);

    // A message about an input given as a table names the file the table became, not the private folder.
    PlainRunRequest threeGroups = sampleRequest({{"categories", "3"}});
    gap.columns[1].numbers[1] = 2;
    threeGroups.pool = PlainInput::fromTable(gap);
    const PlainRunResult refused = runPlain(threeGroups);
    EXPECT_NE(refused.error.find(" POOL.CSV "), std::string::npos) << refused.error;
    EXPECT_EQ(refused.error.find("QUILLON-"), std::string::npos) << refused.error;

    // A cancel at the first progress point: no tables, and nothing left behind either.
    PlainRunRequest cancelled = sampleRequest();
    cancelled.pool = PlainInput::text(*readWholeFile(samplePool));
    int progressCalls = 0;
    cancelled.progress = [&](const ProgressReport&) { ++progressCalls; };
    cancelled.cancelled = [&] { return progressCalls > 0; };
    const PlainRunResult stopped = runPlain(cancelled);
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_EQ(stopped.error, "");
    EXPECT_LT(stopped.summary.testsStarted, stopped.summary.expectedTests);
    EXPECT_EQ(stopped.results.rowCount(), 0u);

    EXPECT_TRUE(std::filesystem::is_empty(tmp));
    if (oldTmp)
        ::setenv("TMPDIR", keptTmp.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
}

TEST(PlainGenerateAndCheck, WriteTheSamplesAndReportFindings) {
    TempFolder folder;
    const struct {
        std::vector<std::pair<std::string, std::string>> options;
        std::string problemStart;
    } refused[] = {
        {{{"items", "many"}}, "option items: \"many\" is not a whole number"},
        {{{"colour", "3"}}, "there is no sample option named \"colour\""},
        {{{"groups", "11"}}, ""},  // the sample generator's own refusal
    };
    for (const auto& c : refused) {
        const PlainGenerated g = generatePlain(c.options, folder.file("no"));
        EXPECT_FALSE(g.problem.empty());
        EXPECT_EQ(g.problem.substr(0, c.problemStart.size()), c.problemStart);
    }
    const PlainGenerated made = generatePlain(
        {{"items", "60"}, {"examinees", "50"}, {"script-length", "20"}, {"blank-share", "0.1"}, {"seed", "7"}},
        folder.file(""));
    ASSERT_EQ(made.problem, "");
    EXPECT_EQ(splitLines(*readWholeFile(made.data)).size(), 50u);

    PlainRunRequest request;
    request.pool = PlainInput::path(made.pool);
    request.data = PlainInput::path(made.data);
    request.settings = {{"max-length", "20"}};
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
    EXPECT_EQ(checkPlain(sampleRequest({{"nope", "1"}})).problem, "there is no setting named \"nope\"");
}

}  // namespace
}  // namespace quillon
