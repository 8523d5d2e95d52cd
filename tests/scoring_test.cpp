// Scoring real examinees: blanks are items not given, lengths count answers, and what does not fit
// is refused. That the posterior equals the simulation's is held in score_cli_test, from a trace.
#include "quillon/scoring/scoring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace quillon;

namespace {

// Four items that a strong examinee (group 2) answers right four times as often as a weak one.
const char* const fourItems =
    "Item_ID,Collection,Freq,dropQQ,1,2\nN,,,,1,1\nP_Grp, , , ,.3,.7\n"
    "A,1,,0,.2,.8\nB,1,,0,.2,.8\nC,1,,0,.2,.8\nD,1,,0,.2,.8\n";

ItemPool fourItemPool() { return parsePool(fourItems, RunSettings{}, "pool"); }

// Response lines: identifier in characters 1 to 11, the group digit in 12, answers from 14.
ObservedAnswers observed(const std::vector<std::string>& answers) {
    std::string text;
    for (std::size_t n = 0; n < answers.size(); ++n)
        text += "E" + std::to_string(n + 1) + "         0 " + answers[n] + "\n";
    return readObservedAnswers({{"data", text}}).value();
}

ScoreOptions sequentialOptions() {
    ScoreOptions options;
    options.sequential = true;
    options.settings.stopProbabilities = {.9, .95};
    return options;
}

}  // namespace

// After k right answers to these items P(2) / P(1) = 4^k under uniform priors: 16/17 reaches .9
// at two answers, 64/65 reaches .95 and the SPRT's 19 at three. A blank is skipped, so the
// lengths count answers, not pool positions.
TEST(Scoring, SequentialLengthsCountAnswers) {
    const struct {
        const char* answers;
        std::int32_t answered, right, stop90, stop95, sprt, sprtDecision, bayes;
    } cases[] = {
        {"1111", 4, 4, 2, 3, 3, 2, 2}, {"1 11", 3, 3, 2, 3, 3, 2, 2}, {"1 1 ", 2, 2, 2, 0, 0, 0, 2},
        {"1010", 4, 2, 0, 0, 0, 0, 1}, {"0000", 4, 0, 2, 3, 3, 1, 1}, {"", 0, 0, 0, 0, 0, 0, 1},
    };
    const ScoreOptions options = sequentialOptions();
    std::vector<std::string> lines;
    for (const auto& c : cases) lines.push_back(c.answers);
    const std::vector<ExamineeScore> scores = scoreExaminees(fourItemPool(), observed(lines), options).value();
    ASSERT_EQ(scores.size(), std::size(cases));
    for (std::size_t n = 0; n < scores.size(); ++n) {
        const auto& c = cases[n];
        const ExamineeScore& s = scores[n];
        EXPECT_EQ(s.answered, c.answered) << c.answers;
        EXPECT_EQ(s.right, c.right) << c.answers;
        EXPECT_EQ(s.stopLengths, (std::vector<std::int32_t>{c.stop90, c.stop95})) << c.answers;
        EXPECT_EQ(s.sprtLength, c.sprt) << c.answers;
        EXPECT_EQ(s.sprtDecision, c.sprtDecision) << c.answers;
        EXPECT_EQ(s.bayesDecision, c.bayes) << c.answers;
    }
    // No answer: the start as it stands, equal groups going to the lowest.
    EXPECT_EQ(scores.back().posterior, (std::vector<double>{.5, .5}));
    EXPECT_EQ(scores.back().mapGroup, 1);
}

// A blank is no evidence: the posterior is the one of the answers alone, whatever the position,
// never the one a wrong answer gives.
TEST(Scoring, BlanksAreNotScoredWrong) {
    ScoreOptions options;
    const std::vector<ExamineeScore> scores =
        scoreExaminees(fourItemPool(), observed({"1", "1   ", "   1", "10"}), options).value();
    const std::vector<double> afterOneRight = {.2 * .5 / (.2 * .5 + .8 * .5), .8 * .5 / (.2 * .5 + .8 * .5)};
    for (std::size_t n = 0; n < 3; ++n) EXPECT_EQ(scores[n].posterior, afterOneRight) << n;
    EXPECT_NE(scores[3].posterior, afterOneRight);
    EXPECT_EQ(scores[3].answered, 2);

    // With the pool's priors the start is .3 and .7, and an examinee without answers keeps it.
    options.settings.uniformPriors = false;
    const ItemPool pool = parsePool(fourItems, options.settings, "pool");
    EXPECT_EQ(scoreExaminees(pool, observed({""}), options).value()[0].posterior, (std::vector<double>{.3, .7}));
}

TEST(Scoring, TableColumns) {
    ScoreOptions options = sequentialOptions();
    // 1 - .8 is not exactly .2, so a right and a wrong answer leave the groups a hair apart.
    const std::vector<ExamineeScore> scores = scoreExaminees(fourItemPool(), observed({"111", "10"}), options).value();
    EXPECT_EQ(scoreTableText(scores, options),
              "examinee,line,answered,right,p_group_1,p_group_2,map_group,map_probability,bayes_decision,"
              "sprt_decision,stop_length_.9,stop_length_.95,sprt_length\r\n"
              "E1,data line 1,3,3,0.015384615384615385,0.9846153846153847,2,0.9846153846153847,2,2,2,3,3\r\n"
              "E2,data line 2,2,1,0.5000000000000001,0.4999999999999999,1,0.5000000000000001,1,0,,,\r\n");

    // Three groups: no Bayes decision, and without `sequential` no lengths.
    options = ScoreOptions{};
    options.settings.groupCount = 3;
    const ItemPool three = parsePool("h\nN\nP_Grp, , , ,.2,.3,.5\nA,1,,0,.2,.5,.8\n", options.settings, "pool");
    EXPECT_EQ(
        scoreTableText(scoreExaminees(three, observed({"1"}), options).value(), options),
        "examinee,line,answered,right,p_group_1,p_group_2,p_group_3,map_group,map_probability,bayes_decision,"
        "sprt_decision\r\n"
        "E1,data line 1,1,1,0.13333333333333333,0.3333333333333333,0.5333333333333333,3,0.5333333333333333,,0\r\n");
}

TEST(Scoring, RefusesWhatDoesNotFit) {
    const ItemPool pool = fourItemPool();
    ScoreOptions threeGroups;
    threeGroups.settings.groupCount = 3;
    ScoreOptions orders;
    orders.itemOrders = {{0, 1}};
    const struct {
        std::vector<std::string> answers;
        ScoreOptions options;
        FailureKind kind;
        const char* message;
    } cases[] = {
        {{"1111", "00001"}, {}, FailureKind::Input, "data line 2: the line answers item 5, but the pool has 4 items."},
        {{"1"}, threeGroups, FailureKind::Usage, "The pool has 2 groups, but 3 are asked for."},
        {{"1"}, orders, FailureKind::Usage, "data line 1: the item order names item 2"},
        {{"1 1"}, orders, FailureKind::Usage, "data line 1: the item order names item 2"},
        {{"11", "1"}, orders, FailureKind::Usage, "given for 1 examinees, but the data have 2."},
    };
    for (const auto& c : cases) {
        const Outcome<std::vector<ExamineeScore>> scored = scoreExaminees(pool, observed(c.answers), c.options);
        ASSERT_FALSE(scored) << c.message;
        EXPECT_EQ(scored.failure().kind, c.kind) << c.message;
        EXPECT_NE(scored.failure().message.find(c.message), std::string::npos) << scored.failure().message;
    }
    // Blanks past the pool's items are no answers.
    EXPECT_TRUE(scoreExaminees(pool, observed({"1111    "}), ScoreOptions{}));
}

TEST(Scoring, ItemOrderFile) {
    const ObservedAnswers data = observed({"1 01", "", "1"});
    const std::vector<std::string> ids = {"A", "B", "C", "D"};
    const Outcome<std::vector<std::vector<std::int32_t>>> read =
        readItemOrders({"orders", "E1,D,A,C,,\r\nE2\nE3,A\n\n"}, data, ids);
    ASSERT_TRUE(read) << read.failure().message;
    EXPECT_EQ(*read, (std::vector<std::vector<std::int32_t>>{{3, 0, 2}, {}, {0}}));

    const struct {
        const char* text;
        const char* message;
    } refused[] = {
        {"E1,D,A,C\nE3,A\nE3,A\n",
         "orders, line 2: the examinee \"E3\" is not the data's examinee 2, \"E2\" (data line 2)."},
        {"E1,D,A,X\n", "orders, line 1: the item \"X\" is not in the pool."},
        {"E1,D,A,C,A\n", "orders, line 1: the item \"A\" is listed twice."},
        {"E1,D,A,C,B\n", "orders, line 1: the item \"B\" was not administered: its answer in data line 1 is blank."},
        {"E1,D,A\n", "orders, line 1: the item \"C\", answered in data line 1, is not in the order."},
        {"E1,D,A,C\nE2\n", "orders gives the order of 2 examinees, but the data have 3."},
        {"E1,D,A,C\nE2\nE3,A\nE4\n", "orders, line 4: the data have only 3 examinees."},
    };
    for (const auto& c : refused) {
        const Outcome<std::vector<std::vector<std::int32_t>>> bad = readItemOrders({"orders", c.text}, data, ids);
        ASSERT_FALSE(bad) << c.text;
        EXPECT_EQ(bad.failure().message, c.message);
    }
    // An identifier two pool items share names neither.
    const Outcome<std::vector<std::vector<std::int32_t>>> twice =
        readItemOrders({"orders", "E1,C,A\nE2\nE3,A\n"}, data, {"A", "B", "C", "C"});
    ASSERT_FALSE(twice);
    EXPECT_EQ(twice.failure().message, "orders, line 1: the item \"C\" names more than one pool item.");
}
