#include "quillon/run_reports/run_reports.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "failure_text.h"
#include "quillon/engine/confusion_table.h"
#include "quillon/engine/decisions.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/posterior.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/run_statistics.h"
#include "quillon/engine/sample_data.h"
#include "quillon/engine/stopping_table.h"
#include "recording_host.h"
#include "same_text.h"

namespace quillon {
namespace {

struct Step {
    std::int32_t map;
    double mapProb;
    std::int32_t sprt;
};

TestRecord testOf(const std::vector<Step>& steps) {
    TestRecord test;
    for (const Step& s : steps) {
        PositionOutcome p;
        p.item = static_cast<std::int32_t>(test.positions.size() + 1);
        p.mapGroup = s.map;
        p.mapProb = s.mapProb;
        p.sprtGroup = s.sprt;
        test.positions.push_back(p);
    }
    return test;
}

// Examinee A (true Pass) settles at length 2; examinee B (true Fail) drifts to Pass at the end
// and is never decided by the SPRT.
const TestRecord testA = testOf({{1, .6, 0}, {2, .96, 2}, {2, .99, 2}});
const TestRecord testB = testOf({{1, .7, 0}, {1, .8, 0}, {2, .55, 0}});

TEST(StoppingTable, FirstDecisionPerRuleAndTheUndecided) {
    using Kind = StoppingRule::Kind;
    StoppingTable table({{Kind::Sprt, 0}, {Kind::PosteriorThreshold, .95}, {Kind::PosteriorThreshold, .7}}, 3);
    table.addTest(testA, 2);
    table.addTest(testB, 1);
    struct Expected {
        std::int64_t accurate, falsePos, undecided, lengthSum;
        double atl, pcc;
    };
    // SPRT and .95: A stops at 2 (accurate); B runs to 3 and its last MAP group (Pass) is a false
    // positive. At .7, B stops at once with Fail: ATL (2 + 1) / 2, everything accurate.
    const Expected expected[] = {{1, 1, 1, 5, 2.5, .5}, {1, 1, 1, 5, 2.5, .5}, {2, 0, 0, 3, 1.5, 1}};
    for (std::size_t r = 0; r < 3; ++r) {
        const StoppingSummary s = table.summary(r);
        EXPECT_EQ(s.tests, 2);
        EXPECT_EQ(s.accurate, expected[r].accurate) << r;
        EXPECT_EQ(s.falsePos, expected[r].falsePos) << r;
        EXPECT_EQ(s.undecided, expected[r].undecided) << r;
        EXPECT_EQ(s.lengthSum, expected[r].lengthSum) << r;
        EXPECT_EQ(s.averageLength(), expected[r].atl) << r;
        EXPECT_EQ(s.percentCorrect(), expected[r].pcc) << r;
        EXPECT_EQ(s.fixedAverageLength(), 3);
        EXPECT_EQ(s.fixedPercentCorrect(), .5);  // both end on Pass
    }
    const std::string text = table.text();
    const std::string sprt =
        "SPRT,,stopped,1,0,0,0,0,,,,,,,\r\n"
        "SPRT,,stopped,2,1,1,0,0,,,,,,,\r\n"
        "SPRT,,stopped,3,0,0,0,0,,,,,,,\r\n"
        "SPRT,,undecided,3,1,0,1,0,,,,,,,\r\n"
        "SPRT,,summary,,2,1,1,0,2.5,.5,.5,0,.5,3,.5\r\n";
    EXPECT_EQ(text.substr(0, text.find("\r\n") + 2),
              "rule,threshold,kind,length,tests,accurate,false_pos,false_neg,atl,pcc,false_pos_share,"
              "false_neg_share,undecided_share,fixed_atl,fixed_pcc\r\n");
    EXPECT_NE(text.find(sprt), std::string::npos) << text;
    EXPECT_NE(text.find("Posterior,.7,stopped,1,1,1,0,0,"), std::string::npos) << text;
    EXPECT_NE(text.find("Posterior,.7,summary,,2,2,0,0,1.5,1,0,0,0,3,.5\r\n"), std::string::npos) << text;

    // Parts of a run merge to the whole.
    StoppingTable left({{Kind::Sprt, 0}, {Kind::PosteriorThreshold, .95}, {Kind::PosteriorThreshold, .7}}, 3);
    StoppingTable right = left;
    left.addTest(testA, 2);
    right.addTest(testB, 1);
    left.merge(right);
    EXPECT_EQ(left.text(), text);
}

TEST(StoppingTable, EmptyRunWritesZerosNotUndefinedMeans) {
    StoppingTable table({{StoppingRule::Kind::Sprt, 0}}, 2);
    EXPECT_NE(table.text().find("SPRT,,summary,,0,0,0,0,0,0,0,0,0,0,0\r\n"), std::string::npos);
}

TEST(ConfusionTable, CountsPerLengthSumToTheTestsAndOddGroupsAreKept) {
    ConfusionTable table(2, 3);
    table.addTest(testA, 2);
    table.addTest(testB, 1);
    table.addTest(testOf({{0, 0, 0}, {1, .5, 1}, {2, .9, 0}}), 3);  // no MAP group; a true group beyond 2
    for (std::int32_t n = 1; n <= 3; ++n) {
        std::int64_t sum = 0;
        for (std::int32_t t = 1; t <= 3; ++t)
            for (std::int32_t d = 0; d <= 2; ++d) sum += table.count(n, "MAP", t, d);
        EXPECT_EQ(sum, 3) << n;
    }
    EXPECT_EQ(table.count(3, "MAP", 1, 2), 1);
    EXPECT_EQ(table.count(3, "SPRT", 2, 2), 1);
    EXPECT_EQ(table.count(2, "SPRT", 3, 1), 1);
    const std::string text = table.text();
    EXPECT_EQ(text.substr(0, text.find("\r\n", 50) + 2),
              "length,rule,true_group,decided_group,tests\r\n1,MAP,1,1,1\r\n");
    EXPECT_NE(text.find("1,MAP,2,2,0\r\n1,MAP,3,0,1\r\n1,SPRT,1,1,0\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("2,SPRT,2,2,1\r\n2,SPRT,3,1,1\r\n3,MAP,1,1,0\r\n"), std::string::npos) << text;
}

using testing::RecordingHost;
using testing::sameText;
using testing::TempFolder;

std::vector<std::string> csvLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 2;
    }
    return lines;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, ',');) out.push_back(field);
    if (!line.empty() && line.back() == ',') out.push_back("");
    return out;
}

// A whole run with every report, its tables and its report files; no listener when `listen` is off.
struct ReportedRun {
    RunSummary summary;
    std::string results, exposure, trace, stopping, confusion, examinees;
};

ReportedRun runWithReports(const RunSettings& base, RunReportOptions options, int threads, bool listen = true) {
    TempFolder out;
    RunSettings settings = base;
    settings.resultsFile = out.file("results.csv");
    settings.exposureFile = out.file("expos.csv");
    if (listen) {
        options.traceFile = out.file("trace.csv");
        options.stoppingFile = out.file("stopping.csv");
        options.confusionFile = out.file("confusion.csv");
        options.examineesFile = out.file("examinees.csv");
    }
    RunReports reports(options, settings);
    RecordingHost host;
    RandomGenerator random;
    RunOptions runOptions{threads};
    if (listen) runOptions.listener = &reports;
    ReportedRun run;
    run.summary = runSimulation(settings, random, host, runOptions);
    EXPECT_TRUE(run.summary.completed);
    EXPECT_EQ(host.messages, std::vector<std::string>{});
    EXPECT_EQ(reports.finish(run.summary), std::vector<std::string>{});
    run.results = TempFolder::read(settings.resultsFile);
    run.exposure = TempFolder::read(settings.exposureFile);
    run.trace = TempFolder::read(options.traceFile);
    run.stopping = TempFolder::read(options.stoppingFile);
    run.confusion = TempFolder::read(options.confusionFile);
    run.examinees = TempFolder::read(options.examineesFile);
    return run;
}

// Every count, sum, stop and message of statistics, as one text for comparisons.
std::string statisticsText(const RunStatistics& s) {
    std::ostringstream out;
    out << resultsTableText(s, 2) << s.stopping.text() << s.confusion.text() << "exposure";
    for (std::int64_t count : s.exposureCount) out << ' ' << count;
    out << "\ncounts " << s.testsStarted << ' ' << s.testsTaken << ' ' << s.examinees << ' ' << s.selections
        << "\nstop " << s.stop.ended << s.stop.failed << s.stop.cancelled << ' ' << s.stop.failedLine;
    for (const std::string& message : s.stop.messages) out << "\n" << message;
    return out.str();
}

// Three consecutive pieces of a run merge to the same statistics however they are grouped, also
// when a piece ends the run (what follows it then never counts), and the counts stay consistent.
TEST(RunStatistics, MergeIsAssociativeAndKeepsTheCountsConsistent) {
    RunSettings settings;
    settings.maxTestLength = 3;
    settings.stopProbabilities = {.7, .95};
    const TestRecord testC = testOf({{0, 0, 0}, {1, .5, 1}, {2, .9, 0}});
    const auto piece = [&](const std::vector<std::pair<const TestRecord*, std::int32_t>>& tests, const char* stop,
                           const std::string& message) {
        RunStatistics s = emptyRunStatistics(settings, 3);
        ++s.examinees;
        for (const auto& [test, trueGroup] : tests) {
            ++s.testsStarted;
            s.addTest(*test, trueGroup);
        }
        if (!message.empty()) s.stop.messages.push_back(message);
        s.stop.ended = *stop != '-';
        s.stop.failed = *stop == 'f';
        s.stop.cancelled = *stop == 'c';
        s.stop.failedLine = s.stop.failed ? 9 : 0;
        return s;
    };
    // Which piece ends the run and how: '-' not, 'f' failed, 'c' cancelled.
    for (const char* stops : {"---", "-f-", "c--", "--f", "fc-", "-cf"}) {
        const RunStatistics a = piece({{&testA, 2}, {&testB, 1}}, stops + 0, "first");
        const RunStatistics b = piece({{&testC, 3}}, stops + 1, "");
        const RunStatistics c = piece({{&testB, 2}, {&testA, 2}, {&testC, 1}}, stops + 2, "third");
        RunStatistics left = a;
        left.merge(b);
        left.merge(c);
        RunStatistics rest = b;
        rest.merge(c);
        RunStatistics right = a;
        right.merge(rest);
        EXPECT_EQ(statisticsText(left), statisticsText(right)) << stops;
        EXPECT_TRUE(left.countsConsistent()) << stops;
        const std::size_t ends = std::string(stops).find_first_not_of('-');
        EXPECT_EQ(left.testsTaken, ends == 0 ? 2 : ends == 1 ? 3 : 6) << stops;
    }
}

TEST(RunReports, HandWorkedRunTraceAndStoppingLineByLine) {
    TempFolder folder;
    // Collection 0 never enters the deck, so every draw gives 0. MaxDiscr scores 1 / |ln(p1 / p2)|:
    // A 1 / ln 9 = .4551, B 1 / ln(8/3) = 1.0195, C 1 / ln 1.5 = 2.4663, so with factor 1 every
    // test takes A, B, C in that order (rank 1 of 3, 2, 1 eligible).
    RunSettings settings;
    settings.poolFile = folder.write("pool.csv",
                                     "Item_ID,Collection,Freq,dropQQ,1,2\r\nN,,,,100,100\r\nP_Grp, , , ,.5,.5\r\n"
                                     "A,0,,0,.1,.9\r\nB,0,,0,.3,.8\r\nC,0,,0,.4,.6\r\n");
    // Ann (Pass) answers 111; Bob (Fail) answers 0, then a blank and nothing (both wrong); Cat
    // (Fail) answers 100.
    settings.responseFile = folder.write("data.txt", "ANN        1 111\r\nBOB        0 0 \r\nCAT        0 100\r\n");
    settings.selectionMethod = SelectionMethod::MaxDiscr;
    settings.randomizationFactor = 1;
    settings.maxTestLength = 3;
    RunReportOptions options;
    options.traceCandidates = 2;
    settings.stopProbabilities = {.95, .9};
    const ReportedRun run = runWithReports(settings, options, 1);

    // From (.5, .5), a right answer multiplies by (p1, p2) and a wrong one by (1 - p1, 1 - p2).
    // SPRT bounds: P2/P1 > 19 decides 2, P2/P1 < .05263 decides 1. Bayes: Pass when P2 > .6.
    const std::vector<std::string> expected = {
        traceHeader(2, 2).substr(0, traceHeader(2, 2).size() - 2),
        // Ann: (.05, .45) / .5 = (.1, .9), ratio 9, no decision; (.03, .72) / .75 = (.04, .96),
        // ratio 24 > 19: Pass; (.012, .432) / .444 = (.027, .973), ratio 36: Pass.
        "1,ANN,2,1,1,0,A,1,1,3,1,0.45511961331341877,0.1,0.9,2,"
        "0.9,0,2,0.9,A,0.45511961331341877,B,1.019545447823266",
        "1,ANN,2,1,2,0,B,2,1,2,1,1.019545447823266,0.039999999999999994,0.96,2,"
        "0.96,2,2,0.96,B,1.019545447823266,C,2.466303462376432",
        "1,ANN,2,1,3,0,C,3,1,1,1,2.466303462376432,0.02702702702702702,0.9729729729729729,2,"
        "0.9729729729729729,2,2,0.9729729729729729,C,2.466303462376432,,",
        // Bob: (.45, .05) / .5 = (.9, .1), ratio .111, no decision; the blank: (.63, .02) / .65,
        // ratio .0317 < .05263: Fail; the missing answer: (.378, .008) / .386. Blank answers.
        "2,BOB,1,1,1,0,A,1,0,3,1,0.45511961331341877,0.9,0.09999999999999998,1,"
        "0.9,0,1,0.9,A,0.45511961331341877,B,1.019545447823266",
        "2,BOB,1,1,2,0,B,2,,2,1,1.019545447823266,0.9692307692307692,0.030769230769230754,1,"
        "0.9692307692307692,1,1,0.9692307692307692,B,1.019545447823266,C,2.466303462376432",
        "2,BOB,1,1,3,0,C,3,,1,1,2.466303462376432,0.9792746113989637,0.02072538860103626,1,"
        "0.9792746113989637,1,1,0.9792746113989637,C,2.466303462376432,,",
        // Cat: (.1, .9); wrong: (.07, .18) / .25 = (.28, .72), ratio 2.57; wrong: (.042, .072) /
        // .114 = (.368, .632), ratio 1.71. Never decided; Pass by MAP and Bayes throughout.
        "3,CAT,1,1,1,0,A,1,1,3,1,0.45511961331341877,0.1,0.9,2,"
        "0.9,0,2,0.9,A,0.45511961331341877,B,1.019545447823266",
        "3,CAT,1,1,2,0,B,2,0,2,1,1.019545447823266,0.28,0.72,2,"
        "0.72,0,2,0.72,B,1.019545447823266,C,2.466303462376432",
        "3,CAT,1,1,3,0,C,3,0,1,1,2.466303462376432,0.368421052631579,0.631578947368421,2,"
        "0.631578947368421,0,2,0.631578947368421,C,2.466303462376432,,",
    };
    const std::vector<std::string> trace = csvLines(run.trace);
    ASSERT_EQ(trace.size(), expected.size()) << run.trace;
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(trace[i], expected[i]) << "trace line " << i + 1;

    // SPRT: Ann and Bob stop at 2, both accurate; Cat is undecided and her last MAP group, Pass,
    // is a false positive. ATL (2 + 2 + 3) / 3, PCC 2/3; the fixed test's last MAP groups are
    // Pass, Fail, Pass: PCC 2/3 as well. The posterior .95 stops exactly where the SPRT does
    // (.96 and .969 at 2, Cat never above .9). At .9 every test stops at once: Ann and Bob
    // accurate, Cat a false positive at .9 (the threshold reached, not passed); ATL 1.
    const std::vector<std::string> stopping = {
        "rule,threshold,kind,length,tests,accurate,false_pos,false_neg,atl,pcc,false_pos_share,false_neg_share,"
        "undecided_share,fixed_atl,fixed_pcc",
        "SPRT,,stopped,1,0,0,0,0,,,,,,,",
        "SPRT,,stopped,2,2,2,0,0,,,,,,,",
        "SPRT,,stopped,3,0,0,0,0,,,,,,,",
        "SPRT,,undecided,3,1,0,1,0,,,,,,,",
        "SPRT,,summary,,3,2,1,0,2.33333333333333,.666666666666667,.333333333333333,0,.333333333333333,3,"
        ".666666666666667",
        "Posterior,.95,stopped,1,0,0,0,0,,,,,,,",
        "Posterior,.95,stopped,2,2,2,0,0,,,,,,,",
        "Posterior,.95,stopped,3,0,0,0,0,,,,,,,",
        "Posterior,.95,undecided,3,1,0,1,0,,,,,,,",
        "Posterior,.95,summary,,3,2,1,0,2.33333333333333,.666666666666667,.333333333333333,0,.333333333333333,3,"
        ".666666666666667",
        "Posterior,.9,stopped,1,3,2,1,0,,,,,,,",
        "Posterior,.9,stopped,2,0,0,0,0,,,,,,,",
        "Posterior,.9,stopped,3,0,0,0,0,,,,,,,",
        "Posterior,.9,undecided,3,0,0,0,0,,,,,,,",
        "Posterior,.9,summary,,3,2,1,0,1,.666666666666667,.333333333333333,0,0,3,.666666666666667",
    };
    EXPECT_EQ(csvLines(run.stopping), stopping) << run.stopping;

    // Only the first examinees, when asked: Ann's three rows.
    options.traceExaminees = 1;
    EXPECT_EQ(csvLines(runWithReports(settings, options, 1).trace),
              std::vector<std::string>(expected.begin(), expected.begin() + 4));
}

// The length rows of the results table, split into fields.
std::vector<std::vector<std::string>> resultRows(const std::string& results) {
    std::vector<std::vector<std::string>> rows;
    const std::vector<std::string> lines = csvLines(results);
    for (std::size_t i = 1; i < lines.size(); ++i) rows.push_back(fields(lines[i]));
    return rows;
}

std::string share(std::int64_t part, std::int64_t whole, int decimals) {
    return formatDecimals(static_cast<double>(part) / static_cast<double>(whole), decimals);
}

// The trace's rows replayed with the pool alone: each row's item and answer, scored as the run
// scores them, must give the posterior written on the row, bit for bit.
void replayTrace(const std::string& trace, const RunSettings& settings, std::int64_t examinee) {
    const InputFiles inputs = loadInputFiles(settings);
    const std::vector<std::string> lines = csvLines(trace);
    const std::int32_t groups = settings.groupCount;
    GroupPosterior posterior(groups);
    int rows = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = fields(lines[i]);
        if (std::stoll(f[0]) != examinee) continue;
        ++rows;
        const std::int32_t item = std::stoi(f[7]);
        if (f[4] == "1") posterior.resetPosterior(settings.uniformPriors, inputs.pool.groupPrior);
        EXPECT_EQ(f[6], inputs.pool.itemId[static_cast<std::size_t>(item - 1)]) << lines[i];
        // Shannon and MinCost scores normalise the posterior once per eligible candidate, which
        // may move its last bits before the update.
        if (settings.selectionMethod != SelectionMethod::MaxDiscr)
            for (std::int64_t k = std::stoll(f[9]); k > 0; --k) posterior.normalisePosterior();
        const std::int32_t answer = f[8].empty() ? 0 : std::stoi(f[8]);
        const std::int32_t map = posterior.updatePosterior(inputs.pool.itemRow(item), answer);
        for (std::int32_t g = 1; g <= groups; ++g)
            EXPECT_EQ(std::strtod(f[static_cast<std::size_t>(11 + g)].c_str(), nullptr), posterior(g))
                << lines[i] << " group " << g;
        const std::size_t after = static_cast<std::size_t>(12 + groups);
        EXPECT_EQ(f[after], std::to_string(map)) << lines[i];
        EXPECT_EQ(f[after + 2], std::to_string(sprtDecision(posterior, settings.sprtAlpha, settings.sprtBeta)))
            << lines[i];
    }
    EXPECT_EQ(rows, settings.maxTestLength * settings.testsPerPerson) << "examinee " << examinee;
}

TEST(RunReports, SameBytesForAnyThreadCountAndAgreeingWithTheTables) {
    struct Case {
        const char* name;
        bool threeGroups;
        std::function<void(RunSettings&, RunReportOptions&)> change;
    };
    const std::vector<Case> cases = {
        {"shannon", false, [](RunSettings& s, RunReportOptions&) { s.randomizationFactor = 3; }},
        {"maxdiscr, enemies", false,
         [](RunSettings& s, RunReportOptions&) {
             s.selectionMethod = SelectionMethod::MaxDiscr;
             s.randomizationFactor = 2;
             s.blockEnemies = true;
         }},
        {"mincost", false,
         [](RunSettings& s, RunReportOptions&) {
             s.selectionMethod = SelectionMethod::MinCost;
             s.randomizationFactor = 2;
             s.stopProbabilities = {.8, .99};
         }},
        {"script, two tests, priors, first 50 traced", false,
         [](RunSettings& s, RunReportOptions& o) {
             s.followScript = true;
             s.testsPerPerson = 2;
             s.uniformPriors = false;
             o.traceExaminees = 50;
         }},
        {"three groups, shannon", true, [](RunSettings& s, RunReportOptions&) { s.randomizationFactor = 2; }},
        {"three groups, maxdiscr, enemies, two tests", true,
         [](RunSettings& s, RunReportOptions&) {
             s.selectionMethod = SelectionMethod::MaxDiscr;
             s.blockEnemies = true;
             s.testsPerPerson = 2;
         }},
    };
    TempFolder generated;
    for (const std::int32_t groups : {2, 3}) {
        SampleOptions sample;
        sample.items = 150;
        sample.collections = 3;
        sample.groups = groups;
        sample.examinees = 200;  // several batches of the parallel replay
        sample.scriptLength = 20;
        sample.seed = static_cast<std::uint64_t>(groups);
        ASSERT_EQ(failureText(writeSampleFiles(sample, generateSampleFiles(sample),
                                               generated.file(std::to_string(groups) + "/data"))),
                  "");
    }
    for (const Case& c : cases) {
        RunSettings settings;
        setDefaultPaths(settings, generated.file(c.threeGroups ? "3" : "2"), '/');
        settings.maxTestLength = 20;
        if (c.threeGroups) {
            settings.groupCount = 3;
            settings.costPassPass = settings.costPassFail = settings.costFailPass = settings.costFailFail = 0.0;
        }
        RunReportOptions options;
        options.traceCandidates = 3;
        c.change(settings, options);

        const ReportedRun one = runWithReports(settings, options, 1);
        for (int threads : {2, 4}) {
            const ReportedRun many = runWithReports(settings, options, threads);
            EXPECT_TRUE(sameText(many.trace, one.trace)) << c.name << ", " << threads << " threads";
            EXPECT_TRUE(sameText(many.stopping, one.stopping)) << c.name << ", " << threads << " threads";
            EXPECT_TRUE(sameText(many.confusion, one.confusion)) << c.name << ", " << threads << " threads";
            EXPECT_TRUE(sameText(many.examinees, one.examinees)) << c.name << ", " << threads << " threads";
        }
        // The reports change no byte of the run's own tables.
        const ReportedRun plain = runWithReports(settings, options, 2, false);
        EXPECT_TRUE(sameText(plain.results, one.results)) << c.name;
        EXPECT_TRUE(sameText(plain.exposure, one.exposure)) << c.name;

        const std::int64_t tests = one.summary.testsStarted;
        ASSERT_EQ(tests, 200 * settings.testsPerPerson) << c.name;
        const std::int64_t traced = options.traceExaminees < 0 ? 200 : options.traceExaminees;
        EXPECT_EQ(csvLines(one.trace).size(),
                  1 + static_cast<std::size_t>(traced * settings.testsPerPerson * settings.maxTestLength))
            << c.name;
        replayTrace(one.trace, settings, 1);
        replayTrace(one.trace, settings, traced);

        // Each rule's stopped and undecided rows hold every test exactly once.
        std::map<std::string, std::int64_t> perRule;
        for (const std::string& line : csvLines(one.stopping)) {
            const std::vector<std::string> f = fields(line);
            if (f[2] == "stopped" || f[2] == "undecided") perRule[f[0] + f[1]] += std::stoll(f[4]);
            if (f[2] == "summary") {
                EXPECT_EQ(f[4], std::to_string(tests)) << c.name << ": " << line;
            }
        }
        EXPECT_EQ(perRule.size(), 1 + settings.stopProbabilities.size()) << c.name;

        // One examinee row per test, in file order; each rule's stops in it are the stopping
        // table's, length by length, and a rule that never decided leaves its two fields empty.
        const std::vector<std::string> examineeLines = csvLines(one.examinees);
        ASSERT_EQ(examineeLines.size(), static_cast<std::size_t>(1 + tests)) << c.name;
        const std::size_t ruleCount = 1 + settings.stopProbabilities.size();
        std::map<std::pair<std::size_t, std::string>, std::int64_t> stopsAt;  // (rule, length or "") -> tests
        std::int64_t previous = 0;
        for (std::size_t i = 1; i < examineeLines.size(); ++i) {
            const std::vector<std::string> f = fields(examineeLines[i]);
            ASSERT_EQ(f.size(), 6 + 2 * ruleCount) << examineeLines[i];
            EXPECT_GE(std::stoll(f[0]), previous) << c.name;
            previous = std::stoll(f[0]);
            for (std::size_t r = 0; r < ruleCount; ++r) {
                EXPECT_EQ(f[6 + 2 * r].empty(), f[7 + 2 * r].empty()) << examineeLines[i];
                ++stopsAt[{r, f[6 + 2 * r]}];
            }
        }
        std::map<std::pair<std::size_t, std::string>, std::int64_t> stoppedRows;
        std::vector<std::string> ruleOrder;
        for (const std::string& line : csvLines(one.stopping)) {
            const std::vector<std::string> f = fields(line);
            if (f[2] != "stopped" && f[2] != "undecided") continue;
            if (ruleOrder.empty() || ruleOrder.back() != f[0] + f[1]) ruleOrder.push_back(f[0] + f[1]);
            if (f[4] != "0") stoppedRows[{ruleOrder.size() - 1, f[2] == "stopped" ? f[3] : ""}] += std::stoll(f[4]);
        }
        EXPECT_EQ(stopsAt, stoppedRows) << c.name;
        for (const auto& [rule, sum] : perRule) EXPECT_EQ(sum, tests) << c.name << ", " << rule;

        // Every test reaches every length; the diagonal is the results table's accurate count.
        std::map<std::pair<std::int32_t, std::string>, std::int64_t> total, diagonal;
        for (const std::string& line : csvLines(one.confusion)) {
            const std::vector<std::string> f = fields(line);
            if (f[0] == "length") continue;
            const auto key = std::make_pair(std::stoi(f[0]), f[1]);
            total[key] += std::stoll(f[4]);
            if (f[2] == f[3]) diagonal[key] += std::stoll(f[4]);
        }
        const auto rows = resultRows(one.results);
        ASSERT_EQ(rows.size(), static_cast<std::size_t>(settings.maxTestLength)) << c.name;
        for (std::int32_t n = 1; n <= settings.maxTestLength; ++n) {
            const auto& row = rows[static_cast<std::size_t>(n - 1)];
            const auto map = std::make_pair(n, std::string("MAP")), sprt = std::make_pair(n, std::string("SPRT"));
            EXPECT_EQ(total[map], tests) << c.name << ", length " << n;
            EXPECT_EQ(share(diagonal[map], total[map], 4), row[1]) << c.name << ", length " << n;
            EXPECT_EQ(share(total[sprt], tests, 3), row[6]) << c.name << ", length " << n;
            if (total[sprt] > 0) {
                EXPECT_EQ(share(diagonal[sprt], total[sprt], 4), row[7]) << c.name << ", length " << n;
            }
        }
    }
}

// A run with no examinee still reports every length up to its maximum, also past the pool's size,
// as its results table and its Done line do.
TEST(RunReports, WithNoExamineeEveryLengthUpToTheMaximumIsReported) {
    TempFolder folder;
    RunSettings settings;
    settings.poolFile = folder.write("pool.csv",
                                     "A,1,,0,.2,.8\r\nB,1,,0,.3,.7\r\nC,1,,0,.4,.6\r\nD,1,,0,.2,.7\r\nE,1,,0,.1,.9\r\n"
                                     "F,1,,0,.3,.6\r\nP_Grp,,,,.5,.5\r\n");
    settings.responseFile = folder.write("data.txt", "");
    settings.maxTestLength = 9;
    const ReportedRun run = runWithReports(settings, {}, 1);
    const auto rows = [](const std::string& table, const std::string& mark) {
        std::vector<std::string> lengths;
        std::istringstream in(table);
        for (std::string line; std::getline(in, line);)
            if (line.find(mark) != std::string::npos) lengths.push_back(fields(line).at(mark == ",MAP," ? 0 : 3));
        return lengths;
    };
    const std::vector<std::string> oneToNine = {"1", "2", "3", "4", "5", "6", "7", "8", "9"};
    EXPECT_EQ(rows(run.stopping, "SPRT,,stopped"), oneToNine);
    EXPECT_EQ(rows(run.stopping, "SPRT,,undecided"), std::vector<std::string>{"9"});
    std::vector<std::string> mapLengths;
    for (const std::string& length : rows(run.confusion, ",MAP,"))
        if (mapLengths.empty() || mapLengths.back() != length) mapLengths.push_back(length);
    EXPECT_EQ(mapLengths, oneToNine);
}

}  // namespace
}  // namespace quillon
