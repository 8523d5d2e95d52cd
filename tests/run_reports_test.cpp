#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quillon/confusion_table.h"
#include "quillon/stopping_table.h"

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

}  // namespace
}  // namespace quillon
