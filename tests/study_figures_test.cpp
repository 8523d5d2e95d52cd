#include "quillon/study_figures/study_figures.h"

#include <gtest/gtest.h>

#include <cmath>

#include "quillon/engine/run_settings.h"
#include "support/failure_text.h"

namespace quillon {
namespace {

TEST(FigureSummary, StudentQuantilesAndIntervals) {
    // Reference values of the t distribution's 97.5 % point.
    const std::pair<std::int64_t, double> quantiles[] = {{1, 12.706204736174707}, {2, 4.302652729749464},
                                                         {4, 2.7764451051977934}, {9, 2.2621571627982055},
                                                         {29, 2.045229642132703}, {1000, 1.9623390808264078}};
    for (const auto& [degrees, expected] : quantiles)
        EXPECT_NEAR(tQuantile975(degrees), expected, 1e-12 * expected) << degrees;

    const FigureSummary four = summarizeValues({1.0, 2.0, std::nullopt, 3.0, 4.0});
    EXPECT_EQ(four.n, 4);  // the missing value is left out, not read as 0
    EXPECT_EQ(four.mean, 2.5);
    EXPECT_NEAR(*four.sd, std::sqrt(5.0 / 3.0), 1e-15);
    EXPECT_NEAR(*four.ciHigh - 2.5, tQuantile975(3) * std::sqrt(5.0 / 3.0) / 2.0, 1e-14);
    EXPECT_EQ(*four.ciLow + *four.ciHigh, 5.0);
    EXPECT_FALSE(four.pooled);

    const FigureSummary one = summarizeValues({std::nullopt, 7.0});
    EXPECT_EQ(one.n, 1);
    EXPECT_EQ(one.mean, 7.0);
    EXPECT_FALSE(one.sd || one.ciLow || one.ciHigh);
    EXPECT_FALSE(summarizeValues({std::nullopt}).mean);

    // A share with nothing to divide by is missing in the mean and adds nothing to the pool.
    const FigureSummary shares = summarizeShares({{1, 2}, {0, 0}, {3, 4}});
    EXPECT_EQ(shares.n, 2);
    EXPECT_EQ(shares.mean, 0.625);
    EXPECT_EQ(shares.pooled, 4.0 / 6.0);
    EXPECT_FALSE(summarizeShares({{0, 0}, {0, 0}}).pooled);
}

TEST(RunOutcomes, ExposureFigures) {
    // 3 tests of 2 items: rates 1, 1/3, 0, 2/3 against an even 1/2.
    const ExposureFigures figures = exposureFigures({3, 1, 0, 2}, 3, 6);
    EXPECT_EQ(figures.itemsUsed, 3);
    EXPECT_EQ(figures.maxRate, 1.0);
    EXPECT_EQ(figures.neverUsedShare, 0.25);
    EXPECT_NEAR(*figures.meanOverlap, 7.0 / 9.0, 1e-15);
    EXPECT_NEAR(*figures.chiSquare, (0.25 + 1.0 / 36 + 0.25 + 1.0 / 36) / 0.5, 1e-15);
    const ExposureFigures none = exposureFigures({0, 0}, 0, 0);
    EXPECT_EQ(none.neverUsedShare, 1.0);
    EXPECT_FALSE(none.maxRate || none.meanOverlap || none.chiSquare);
}

// A run of two groups and `length` items whose statistics are made of the given tests: per
// test the true group and the MAP group at each position.
RunStatistics runOf(std::int32_t length, const std::vector<std::pair<std::int32_t, std::vector<std::int32_t>>>& tests) {
    RunSettings settings;
    settings.maxTestLength = length;
    settings.groupCount = 2;
    settings.stopProbabilities = {0.9};
    RunStatistics statistics = emptyRunStatistics(settings, 4);
    for (const auto& [trueGroup, groups] : tests) {
        TestRecord test;
        for (std::size_t n = 0; n < groups.size(); ++n) {
            PositionOutcome p;
            p.item = static_cast<std::int32_t>(n % 4 + 1);
            p.mapGroup = groups[n];
            p.mapProb = n + 1 == groups.size() ? 0.95 : 0.6;
            p.bayesGroup = groups[n];
            test.positions.push_back(p);
        }
        ++statistics.testsStarted;
        ++statistics.examinees;
        statistics.addTest(test, trueGroup);
    }
    return statistics;
}

const RunOutcome& outcomeOf(const std::vector<RunOutcome>& outcomes, OutcomeKind kind, const std::string& rule) {
    for (const RunOutcome& outcome : outcomes)
        if (outcome.key.kind == kind && outcome.key.rule == rule) return outcome;
    throw std::runtime_error("no such outcome");
}

TEST(RunOutcomes, StoppingRulesFirstLengthsAndMissing) {
    // Ten tests of three items: MAP right in 8, then 9, then 10 of them.
    std::vector<std::pair<std::int32_t, std::vector<std::int32_t>>> tests;
    for (int t = 0; t < 10; ++t) tests.push_back({1, {t < 8 ? 1 : 2, t < 9 ? 1 : 2, 1}});
    const std::vector<RunOutcome> outcomes = runOutcomes(runOf(3, tests));
    EXPECT_EQ(outcomeOf(outcomes, OutcomeKind::FirstLength90, "MAP").value, 2.0);  // exactly .90 counts
    EXPECT_EQ(outcomeOf(outcomes, OutcomeKind::FirstLength95, "MAP").value, 3.0);
    EXPECT_EQ(outcomeOf(outcomes, OutcomeKind::FirstLength99, "MAP").value, 3.0);
    // No SPRT decision anywhere: every test undecided, classed by MAP at the last length.
    const RunOutcome& undecided = outcomeOf(outcomes, OutcomeKind::Undecided, "SPRT");
    EXPECT_TRUE(undecided.isShare);
    EXPECT_EQ(undecided.value, 1.0);
    EXPECT_EQ(outcomeOf(outcomes, OutcomeKind::Atl, "SPRT").value, 3.0);
    EXPECT_EQ(outcomeOf(outcomes, OutcomeKind::Pcc, "SPRT").value, 1.0);
    EXPECT_EQ(outcomeOf(outcomes, OutcomeKind::MaxExposureRate, "").value, 1.0);
    EXPECT_EQ(outcomeOf(outcomes, OutcomeKind::NeverUsedShare, "").value, 0.25);

    // A run that never reaches .99, and one with no tests at all: missing, not 0.
    const std::vector<RunOutcome> weak = runOutcomes(runOf(2, {{1, {1, 1}}, {2, {1, 1}}}));
    EXPECT_FALSE(outcomeOf(weak, OutcomeKind::FirstLength90, "MAP").value);
    const std::vector<RunOutcome> empty = runOutcomes(runOf(2, {}));
    EXPECT_FALSE(outcomeOf(empty, OutcomeKind::Pcc, "SPRT").value);
    EXPECT_FALSE(outcomeOf(empty, OutcomeKind::MeanOverlap, "").value);
}

// Two conditions of two replications; condition 2's level holds every character that needs quotes.
StudyFigures builtFigures(std::string* results = nullptr, std::string* outcomes = nullptr) {
    const RunStatistics a1 = runOf(2, {{1, {1, 1}}, {2, {2, 2}}, {1, {2, 1}}, {2, {2, 2}}});
    const RunStatistics a2 = runOf(2, {{1, {1, 1}}, {2, {1, 2}}, {1, {1, 1}}, {2, {2, 2}}});
    const RunStatistics b1 = runOf(2, {{1, {1, 1}}, {2, {2, 2}}, {1, {1, 1}}, {2, {2, 2}}});
    const RunStatistics b2 = runOf(2, {{1, {2, 2}}, {2, {1, 2}}, {1, {1, 1}}, {2, {2, 1}}});
    StudyFiguresBuilder builder("t", {{"pool", false}, {"max_length", true}}, 2, {0, 0});
    builder.addCondition({"a.csv", "2"}, {{1, &a1}, {2, &a2}});
    builder.addCondition({"b \"x\", y\nz.csv", "2"}, {{1, &b1}, {2, &b2}});
    if (results) *results = builder.resultsText();
    if (outcomes) *outcomes = builder.outcomesText();
    return builder.figures();
}

TEST(StudyFigures, PairedDifferencesAndTables) {
    std::string results, outcomes;
    const StudyFigures figures = builtFigures(&results, &outcomes);
    const ConditionFigures& b = figures.conditions[1];
    EXPECT_EQ(b.reference, 1);
    const auto pcc = [](const ConditionFigures& c) {
        for (const OutcomeFigures& o : c.outcomes)
            if (o.key.kind == OutcomeKind::Pcc && o.key.rule == "SPRT") return o;
        throw std::runtime_error("no pcc");
    };
    // Per replication: b - a = 4/4 - 4/4 and 2/4 - 4/4.
    EXPECT_EQ(pcc(b).difference.n, 2);
    EXPECT_EQ(pcc(b).difference.mean, (0.0 - 0.5) / 2);
    EXPECT_EQ(pcc(figures.conditions[0]).difference.n, 0);  // the reference itself
    EXPECT_EQ(pcc(b).summary.pooled, 6.0 / 8.0);
    // MAP accuracy at length 1 of condition 1: 3/4 and 3/4.
    EXPECT_EQ(figures.conditions[0].lengths[0].measures[0].mean, 0.75);
    EXPECT_EQ(figures.conditions[0].lengths[0].measures[0].sd, 0.0);

    EXPECT_EQ(results.substr(0, results.find("\r\n")),
              "condition,pool,max_length,replication,length,map_accurate,map_false_pos,map_false_neg,map_mean_prob,"
              "sprt_decided,sprt_accurate,sprt_false_pos,sprt_false_neg,br_accurate,br_false_pos,br_false_neg,"
              "br_mean_prob");
    // No SPRT decision: its accuracy is empty, not 0; the level is quoted whole.
    EXPECT_NE(results.find("\r\n1,a.csv,2,1,1,0.75,0.25,0,0.6,0,,,,0.75,"), std::string::npos) << results;
    EXPECT_NE(results.find("\r\n2,\"b \"\"x\"\", y\nz.csv\",2,1,1,"), std::string::npos);
    EXPECT_NE(outcomes.find("\r\n1,a.csv,2,1,Posterior,0.9,atl,"), std::string::npos);
    EXPECT_NE(outcomes.find("\r\n1,a.csv,2,1,MAP,,first_length_99,2\r\n"), std::string::npos);
}

TEST(StudyFigures, TablesReadBackAsTheSameFigures) {
    const StudyFigures figures = builtFigures();
    const std::string summary = studySummaryText(figures), conditions = studyConditionsText(figures);
    const Outcome<StudyFigures> read = parseStudyFigures(summary, conditions, "s.csv", "c.csv");
    ASSERT_TRUE(read) << read.failure().message;
    EXPECT_EQ(studySummaryText(*read), summary);
    EXPECT_EQ(studyConditionsText(*read), conditions);
    EXPECT_EQ(read->replications, 2);
    EXPECT_EQ(read->conditions[1].levels[0], "b \"x\", y\nz.csv");
    EXPECT_FALSE(read->factors[0].numeric);
    EXPECT_TRUE(read->factors[1].numeric);

    const std::string header = conditions.substr(0, conditions.find("\r\n") + 2);
    const std::string firstRow =
        conditions.substr(header.size(), conditions.find("\r\n", header.size()) + 2 - header.size());
    struct Case {
        std::string summary, conditions, message;
    };
    const Case cases[] = {
        {summary, "nonsense\r\n", "c.csv is not a table a study writes"},
        {"condition,x\r\n", conditions, "s.csv is not a table a study writes"},
        {summary, header + "2" + firstRow.substr(1), "c.csv line 2: condition 2 is out of order."},
        {summary, header + "1,\"a.csv", "c.csv is not a comma-separated table (a quote is not closed)."},
        {summary,
         header + firstRow.substr(0, firstRow.find(",atl,")) + ",atl,1,x" + firstRow.substr(firstRow.find(",atl,") + 7),
         "c.csv line 2: a figure is not a number."},
        {summary,
         header + firstRow.substr(0, firstRow.find(",atl,")) + ",speed," + firstRow.substr(firstRow.find(",atl,") + 5),
         "c.csv line 2: \"speed\" is not an outcome a study reports."},
    };
    for (const Case& c : cases) {
        const Outcome<StudyFigures> refused = parseStudyFigures(c.summary, c.conditions, "s.csv", "c.csv");
        ASSERT_FALSE(refused) << c.message;
        EXPECT_EQ(refused.failure().message.substr(0, c.message.size()), c.message);
    }
}

}  // namespace
}  // namespace quillon
