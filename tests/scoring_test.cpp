// Scoring real examinees: blanks are items not given, lengths count answers, and what does not fit
// is refused. That the posterior equals the simulation's is held in score_cli_test, from a trace.
#include "quillon/scoring/scoring.h"

#include <gtest/gtest.h>

using namespace quillon;

namespace {

// Four items that a strong examinee (group 2) answers right four times as often as a weak one.
ItemPool fourItemPool() {
    return parsePool("h\nN\nP_Grp, , , ,.3,.7\nA,1,,0,.2,.8\nB,1,,0,.2,.8\nC,1,,0,.2,.8\nD,1,,0,.2,.8\n", RunSettings{},
                     "pool");
}

// Response lines: identifier in characters 1 to 11, the group digit in 12, answers from 14.
ObservedAnswers observed(const std::vector<std::string>& answers) {
    std::string text;
    for (std::size_t n = 0; n < answers.size(); ++n)
        text += "E" + std::to_string(n + 1) + "         0 " + answers[n] + "\n";
    return readObservedAnswers({{"data", text}}).value();
}

}  // namespace

// After k right answers P(2) / P(1) = 4^k: 16/17 reaches .9 at two answers, 64/65 reaches .95 and
// the SPRT's 19 at three. A blank is skipped, not scored wrong, so lengths count answers.
TEST(Scoring, SequentialLengthsCountAnswers) {
    const struct {
        const char* answers;
        std::int32_t answered, stop90, stop95, sprtLength, sprt, bayes;
    } cases[] = {
        {"1111", 4, 2, 3, 3, 2, 2}, {"1 11", 3, 2, 3, 3, 2, 2}, {"1 1 ", 2, 2, 0, 0, 0, 2},
        {"1010", 4, 0, 0, 0, 0, 1}, {"0000", 4, 2, 3, 3, 1, 1}, {"", 0, 0, 0, 0, 0, 1},
    };
    ScoreOptions options;
    options.sequential = true;
    options.settings.stopProbabilities = {.9, .95};
    std::vector<std::string> lines;
    for (const auto& c : cases) lines.push_back(c.answers);
    const std::vector<ExamineeScore> scores = scoreExaminees(fourItemPool(), observed(lines), options).value();
    for (std::size_t n = 0; n < scores.size(); ++n) {
        const auto& c = cases[n];
        const ExamineeScore& s = scores[n];
        EXPECT_EQ(s.answered, c.answered) << c.answers;
        EXPECT_EQ(s.stopLengths, (std::vector<std::int32_t>{c.stop90, c.stop95})) << c.answers;
        EXPECT_EQ(std::make_tuple(s.sprtLength, s.sprtDecision, s.bayesDecision),
                  std::make_tuple(c.sprtLength, c.sprt, c.bayes))
            << c.answers;
    }
    // No answer: the start as it stands, equal groups going to the lowest.
    EXPECT_EQ(scores.back().posterior, (std::vector<double>{.5, .5}));
    EXPECT_EQ(scores.back().mapGroup, 1);

    // 1 - .8 is not exactly .2, so as many right as wrong answers leave the groups a hair apart.
    EXPECT_EQ(scoreTableText({scores[0], scores[3]}, options),
              "examinee,line,answered,right,p_group_1,p_group_2,map_group,map_probability,bayes_decision,"
              "sprt_decision,stop_length_.9,stop_length_.95,sprt_length\r\n"
              "E1,data line 1,4,4,0.0038910505836575876,0.9961089494163424,2,0.9961089494163424,2,2,2,3,3\r\n"
              "E4,data line 4,4,2,0.5000000000000002,0.4999999999999997,1,0.5000000000000002,1,0,,,\r\n");
}

TEST(Scoring, Refusals) {
    ScoreOptions threeGroups;
    threeGroups.settings.groupCount = 3;
    const Outcome<std::vector<ExamineeScore>> refused[] = {
        scoreExaminees(fourItemPool(), observed({"1111", "00001"}), {}),
        scoreExaminees(fourItemPool(), observed({"1"}), threeGroups),
    };
    EXPECT_EQ(refused[0].failure().message, "data line 2: the line answers item 5, but the pool has 4 items.");
    EXPECT_EQ(refused[1].failure().message, "The pool has 2 groups, but 3 are asked for.");
    EXPECT_TRUE(scoreExaminees(fourItemPool(), observed({"1111    "}), {}));  // blanks past the pool answer nothing

    const ObservedAnswers data = observed({"1 01", "", "1"});
    const std::vector<std::string> ids = {"A", "B", "C", "D"};
    const Outcome<std::vector<std::vector<std::int32_t>>> read =
        readItemOrders({"orders", "E1,D,A,C,,\r\nE2\nE3,A\n\n"}, data, ids);
    EXPECT_EQ(*read, (std::vector<std::vector<std::int32_t>>{{3, 0, 2}, {}, {0}}));
    const std::pair<const char*, const char*> orders[] = {
        {"E1,D,A,C\nE3,A\nE3,A\n",
         "orders, line 2: the examinee \"E3\" is not the data's examinee 2, \"E2\" (data line 2)."},
        {"E1,D,A,X\n", "orders, line 1: the item \"X\" is not in the pool."},
        {"E1,D,A,C,A\n", "orders, line 1: the item \"A\" is listed twice."},
        {"E1,D,A,C,B\n", "orders, line 1: the item \"B\" was not administered: its answer in data line 1 is blank."},
        {"E1,D,A\n", "orders, line 1: the item \"C\", answered in data line 1, is not in the order."},
        {"E1,D,A,C\nE2\n", "orders gives the order of 2 examinees, but the data have 3."},
        {"E1,D,A,C\nE2\nE3,A\nE4\n", "orders, line 4: the data have only 3 examinees."},
    };
    for (const auto& [text, message] : orders)
        EXPECT_EQ(readItemOrders({"orders", text}, data, ids).failure().message, message);
}
