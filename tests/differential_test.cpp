// The engine against the reference replay on thousands of small random cases, item by item and
// bit by bit, with a sample of whole runs compared table byte by table byte.

#include "reference/differential.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "quillon/engine/input_files.h"
#include "reference/reference.h"

namespace quillon::reference {
namespace {

// Small pools whose first item the rules fix by hand: the tie order of the quicksort and the
// worked scores. Every item is in collection 0, which is all an empty deck ever draws.
TEST(Reference, FollowsTheWorkedExamples) {
    struct Example {
        const char* what;
        std::vector<std::string> rows;  // "id,p1,p2"
        std::string method;
        std::int32_t firstItem;
    };
    const std::vector<Example> examples{
        {"two equal scores A, B come out B, A", {"A,.6,.4", "B,.6,.4"}, "MaxDiscr", 2},
        {"three equal scores come out C, B, A", {"A,.6,.4", "B,.6,.4", "C,.6,.4"}, "MaxDiscr", 3},
        {"four equal scores come out C, D, A, B", {"A,.6,.4", "B,.6,.4", "C,.6,.4", "D,.6,.4"}, "MaxDiscr", 3},
        {"0.5, 0.5, 0.3 come out C, B, A", {"A,.7,.3", "B,.3,.7", "C,.9,.2"}, "MaxDiscr", 3},
        {"equal probabilities score +infinity and come last", {"A,.5,.5", "B,.6,.4"}, "MaxDiscr", 2},
        {"Shannon prefers the sharper item", {"A,.55,.45", "B,.8,.3", "C,.6,.5"}, "Shannon", 2},
        {"MinCost prefers the sharper item", {"A,.55,.45", "B,.8,.3", "C,.6,.5"}, "MinCost", 2},
    };
    for (const Example& example : examples) {
        std::string pool = "Item_ID,Collection,Freq,dropQQ,1,2\r\nN,,,,1,1\r\nP_Grp, , , ,.5,.5\r\n";
        for (const std::string& row : example.rows) {
            const std::size_t comma = row.find(',');
            pool += row.substr(0, comma) + ",0,,," + row.substr(comma + 1) + "\r\n";
        }
        RunSettings settings;
        settings.maxTestLength = 1;
        settings.randomizationFactor = 0;  // counts as 1: the best item
        settings.selectionMethod = selectionMethodFromName(example.method).value();
        InputFiles inputs;
        inputs.pool = parsePool(pool, settings, "POOL");
        RandomGenerator random;
        ExamineeOutcome outcome;
        std::vector<PositionTrace> traces;
        simulateExaminee(inputs, settings, parseResponseLine("EXAM00000011 111"), random, outcome, &traces);
        ASSERT_EQ(outcome.tests.size(), 1u) << example.what;
        ASSERT_EQ(outcome.tests[0].positions.size(), 1u) << example.what;
        EXPECT_EQ(outcome.tests[0].positions[0].item, example.firstItem) << example.what;
    }

    // The worked update: (0.8, 0.3) answered right from uniform priors gives (0.8/1.1, 0.3/1.1).
    RunSettings settings;
    settings.maxTestLength = 1;
    settings.randomizationFactor = 0;  // a factor equal to the length would move A to collection 1
    settings.selectionMethod = SelectionMethod::MaxDiscr;
    InputFiles inputs;
    inputs.pool = parsePool("H\r\nN\r\nP_Grp, , , ,.5,.5\r\nA,0,,,.8,.3\r\n", settings, "POOL");
    RandomGenerator random;
    ExamineeOutcome outcome;
    std::vector<PositionTrace> traces;
    simulateExaminee(inputs, settings, parseResponseLine("EXAM00000010 1"), random, outcome, &traces);
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_NEAR(traces[0].posterior[0], 0.8 / 1.1, 1e-15);
    EXPECT_EQ(outcome.tests[0].positions[0].mapGroup, 1);
    EXPECT_EQ(outcome.tests[0].positions[0].bayesGroup, 1);  // P(2) = 0.27 is not above 0.6: Fail
}

struct Family {
    const char* name;
    CaseShape shape;
    std::vector<std::uint64_t> seeds;
    std::uint64_t casesPerSeed = 1000;
};

constexpr std::uint64_t runsEvery = 10;  // every tenth case is also compared as a whole run

void runFamily(const Family& family) {
    const std::string scratch = (std::filesystem::temp_directory_path() /
                                 ("quillon-differential-test-" + std::to_string(::getpid()) + "-" + family.name))
                                    .string();
    CaseTally tally;
    for (std::uint64_t seed : family.seeds) {
        for (std::uint64_t index = 0; index < family.casesPerSeed; ++index) {
            const std::uint64_t caseSeedValue = caseSeed(seed, index);
            const DifferentialCase testCase = makeCase(caseSeedValue, family.shape);
            std::string difference = compareExaminees(testCase, tally);
            if (difference.empty() && index % runsEvery == 0) {
                difference = compareRun(testCase, scratch, index / runsEvery % 2 == 0 ? 1 : 2, tally);
            }
            if (!difference.empty()) {
                std::filesystem::remove_all(scratch);
                FAIL() << family.name << ": seed " << seed << ", case " << index << " (case seed " << caseSeedValue
                       << ") differs: " << difference << "\n"
                       << testCase.settingsText() << "rerun with: differential --case-seed " << caseSeedValue
                       << " --groups " << family.shape.minGroups << "-" << family.shape.maxGroups;
            }
        }
    }
    std::filesystem::remove_all(scratch);
    // Guard the generator: a series that compares little proves little.
    const auto cases = static_cast<std::int64_t>(family.seeds.size() * family.casesPerSeed);
    EXPECT_LT(tally.refused, cases / 10) << family.name;
    EXPECT_GT(tally.positions, cases * 3) << family.name;
    EXPECT_GT(tally.failures, 0) << family.name;
    EXPECT_GT(tally.runs, cases / static_cast<std::int64_t>(runsEvery) / 2) << family.name;
}

const std::vector<std::string> allMethods{"Shannon", "MaxDiscr", "MinCost"};

TEST(Differential, TwoGroups) { runFamily({"two-groups", CaseShape{2, 2, allMethods}, {11, 12, 13}}); }

TEST(Differential, MaxDiscrWithThreeToSixGroups) {
    runFamily({"maxdiscr-many-groups", CaseShape{3, 6, {"MaxDiscr"}}, {21, 22}});
}

// Pools past 200 candidates, longer tests, five tests per person, answer digits 2 to 9 (whose
// powers can leave no group above 0) and up to ten groups.
TEST(Differential, WideCases) {
    runFamily({"wide-two-groups", CaseShape{2, 2, allMethods, true}, {41}, 300});
    runFamily({"wide-maxdiscr", CaseShape{3, 10, {"MaxDiscr"}, true}, {42}, 300});
}

// Pools of 1,000 to 10,000 items full of equal and near-equal rows: the searches over groups of
// items, their tie fallbacks and MaxDiscr's walk.
TEST(Differential, LargePools) {
    CaseShape shape{2, 2, allMethods};
    shape.large = true;
    runFamily({"large-two-groups", shape, {51}, 60});
    CaseShape many{3, 6, {"MaxDiscr"}};
    many.large = true;
    runFamily({"large-maxdiscr", many, {52}, 30});
}

// Shannon and MinCost normalise the shared posterior once per candidate; with three groups or
// more that is where a second normalisation would show.
TEST(Differential, ShannonAndMinCostWithThreeToSixGroups) {
    runFamily({"scored-many-groups", CaseShape{3, 6, {"Shannon", "MinCost"}}, {31, 32, 33}});
}

}  // namespace
}  // namespace quillon::reference
