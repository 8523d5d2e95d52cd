// Paired counts against a brute-force pairing of two runs' recorded tests, the exact interval
// against independently computed values, and the refusals.
#include "quillon/paired_comparison/paired_comparison.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>

#include "quillon/charts/paired_chart.h"
#include "quillon/text/line_reader.h"
#include "recording_host.h"

namespace quillon {
namespace {

const std::string dataFolder = std::string(QUILLON_SOURCE_DIR) + "/data/";

// P(X >= k) for X ~ Binomial(m, p), summed term by term in long double: independent of the
// incomplete beta function the interval is computed with.
long double upperTail(std::int64_t k, std::int64_t m, long double p) {
    long double sum = 0;
    for (std::int64_t j = k; j <= m; ++j) {
        const long double logTerm =
            std::lgamma(static_cast<long double>(m) + 1) - std::lgamma(static_cast<long double>(j) + 1) -
            std::lgamma(static_cast<long double>(m - j) + 1) + j * std::log(p) + (m - j) * std::log1p(-p);
        sum += std::exp(logTerm);
    }
    return sum;
}

TEST(PairedInterval, ClopperPearsonMatchesIndependentValues) {
    // Ends from mpmath (40 digits, bisection on its incomplete beta function).
    struct Case {
        std::int64_t b, m;
        double low, high;
    };
    const Case cases[] = {
        {0, 1, 0, 0.975},
        {1, 1, 0.025, 1},
        {0, 10, 0, 0.30849710781876082},
        {10, 10, 0.69150289218123918, 1},
        {3, 10, 0.066739511177734467, 0.6524528500599973},
        {50, 100, 0.39832112950330098, 0.60167887049669902},
        {1234, 5000, 0.23489993029906978, 0.25899636027674373},
    };
    for (const Case& c : cases) {
        const auto [low, high] = clopperPearson(c.b, c.m);
        EXPECT_NEAR(low, c.low, 1e-12) << c.b << " of " << c.m;
        EXPECT_NEAR(high, c.high, 1e-12) << c.b << " of " << c.m;
    }
}

TEST(PairedInterval, EndsHoldTheirTailsForLargeCounts) {
    // Each end leaves 2.5 % in its tail, by the brute-force binomial sum.
    struct Case {
        std::int64_t b, m;
    };
    for (const Case c : {Case{1, 100000}, Case{50123, 100000}, Case{99999, 100000}, Case{7, 20000}}) {
        const auto [low, high] = clopperPearson(c.b, c.m);
        EXPECT_NEAR(static_cast<double>(upperTail(c.b, c.m, low)), 0.025, 1e-9) << c.b << " of " << c.m;
        EXPECT_NEAR(static_cast<double>(1 - upperTail(c.b + 1, c.m, high)), 0.025, 1e-9) << c.b << " of " << c.m;
        EXPECT_LT(low, static_cast<double>(c.b) / static_cast<double>(c.m));
        EXPECT_GT(high, static_cast<double>(c.b) / static_cast<double>(c.m));
    }
}

TEST(PairedInterval, DifferenceMapsTheDiscordantInterval) {
    struct Case {
        PairedCounts counts;
        bool present;
        double difference, low, high;
    };
    const auto [lowHalf, highHalf] = clopperPearson(1, 2);
    const Case cases[] = {
        {{0, 0, 0, 0}, false, 0, 0, 0},               // no pair: nothing to say
        {{90, 0, 0, 10}, true, 0, 0, 0},              // no discordant pair: the point 0
        {{0, 1, 0, 0}, true, -1, -1, 2 * 0.975 - 1},  // b = 0 of m = 1
        {{0, 0, 1, 0}, true, 1, 2 * 0.025 - 1, 1},    // b = m = 1
        {{8, 1, 1, 0}, true, 0, 0.2 * (2 * lowHalf - 1), 0.2 * (2 * highHalf - 1)},
    };
    for (const Case& c : cases) {
        const std::optional<PairedDifference> d = pairedDifference(c.counts);
        ASSERT_EQ(d.has_value(), c.present);
        if (!d) continue;
        EXPECT_DOUBLE_EQ(d->difference, c.difference);
        EXPECT_NEAR(d->low, c.low, 1e-12);
        EXPECT_NEAR(d->high, c.high, 1e-12);
    }
}

// Every test of one run, kept whole, with the examinee's line and group.
struct RecordedTest {
    std::int64_t line;
    std::int32_t testNumber, trueGroup;
    std::vector<PositionOutcome> positions;
};

class Recorder : public ReplayListener {
public:
    void testTaken(const ExamineeLine& examinee, std::int32_t testNumber, const TestRecord& test) override {
        tests.push_back({examinee.number, testNumber, examinee.trueGroup, test.positions});
    }
    std::vector<RecordedTest> tests;
};

std::vector<RecordedTest> recordRun(const RunSettings& settings, std::uint32_t seed) {
    RunSettings quiet = settings;
    quiet.resultsFile.clear();
    quiet.saveExposure = false;
    Outcome<PreparedRun> prepared =
        prepareRun(quiet, loadRunInputs(quiet), std::make_unique<LineReader>(quiet.responseFile));
    EXPECT_TRUE(prepared);
    Recorder recorder;
    testing::RecordingHost host;
    RandomGenerator random(seed);
    runPrepared(quiet, *prepared, random, host, {1, &recorder});
    return recorder.tests;
}

// The pairs counted the plain way: every test of A against B's test of the same line and number.
std::vector<PairedLength> bruteForce(const std::vector<RecordedTest>& a, const std::vector<RecordedTest>& b) {
    std::map<std::pair<std::int64_t, std::int32_t>, const RecordedTest*> byKey;
    for (const RecordedTest& t : b) byKey[{t.line, t.testNumber}] = &t;
    std::vector<PairedLength> lengths;
    const auto count = [](PairedCounts& c, bool rightA, bool rightB) {
        ++(rightA ? (rightB ? c.bothRight : c.aOnly) : (rightB ? c.bOnly : c.bothWrong));
    };
    for (const RecordedTest& ta : a) {
        const auto found = byKey.find({ta.line, ta.testNumber});
        if (found == byKey.end()) continue;
        const RecordedTest& tb = *found->second;
        const std::size_t both = std::min(ta.positions.size(), tb.positions.size());
        if (lengths.size() < both) lengths.resize(both);
        for (std::size_t n = 0; n < both; ++n) {
            const PositionOutcome &pa = ta.positions[n], &pb = tb.positions[n];
            const std::int32_t g = ta.trueGroup;
            count(lengths[n].rules[0], pa.mapGroup == g, pb.mapGroup == g);
            if (pa.sprtGroup > 0 && pb.sprtGroup > 0) count(lengths[n].rules[1], pa.sprtGroup == g, pb.sprtGroup == g);
            if (pa.bayesGroup > 0) count(lengths[n].rules[2], pa.bayesGroup == g, pb.bayesGroup == g);
        }
    }
    return lengths;
}

RunSettings sampleSettings() {
    RunSettings settings;
    setDefaultPaths(settings, std::string(QUILLON_SOURCE_DIR), '/');
    settings.maxTestLength = 30;
    return settings;
}

TEST(PairedComparison, CountsMatchBruteForceForEveryThreadCount) {
    struct Case {
        const char* what;
        std::int32_t testsPerPerson;
        void (*changeB)(RunSettings&);
        std::uint32_t seedB;
    };
    const Case cases[] = {
        {"another method", 1, [](RunSettings& s) { s.selectionMethod = SelectionMethod::MinCost; }, 17},
        {"same settings, another seed", 1, [](RunSettings&) {}, 99},
        {"a shorter test and dropped items", 1,
         [](RunSettings& s) {
             s.maxTestLength = 20;
             s.dropItems = true;
         },
         17},
        {"two tests per person, another alpha", 2, [](RunSettings& s) { s.sprtAlpha = .01; }, 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunSettings settingsA = sampleSettings();
        settingsA.randomizationFactor = 5;
        settingsA.testsPerPerson = c.testsPerPerson;
        RunSettings settingsB = settingsA;
        c.changeB(settingsB);
        const std::vector<PairedLength> expected = bruteForce(recordRun(settingsA, 17), recordRun(settingsB, c.seedB));
        for (int threads : {1, 2}) {
            testing::RecordingHost host;
            const Outcome<PairedComparison> paired =
                comparePairedRuns({settingsA, 17, "A"}, {settingsB, c.seedB, "B"}, host, threads);
            ASSERT_TRUE(paired) << paired.failure().message;
            EXPECT_EQ(paired->lengths, expected) << threads << " threads";
            EXPECT_TRUE(host.messages.empty());
        }
    }
}

TEST(PairedComparison, ChartDrawsTheDifferenceOfTheCounts) {
    RunSettings settingsA = sampleSettings();
    RunSettings settingsB = settingsA;
    settingsB.selectionMethod = SelectionMethod::MaxDiscr;
    const std::vector<PairedLength> expected = bruteForce(recordRun(settingsA, 5), recordRun(settingsB, 5));
    const charts::StudyChartSet set = charts::pairedChartSet({"A", "B", 2, expected});
    ASSERT_EQ(set.panels.size(), 3u);  // MAP, SPRT, Bayes risk
    for (std::size_t rule = 0; rule < 3; ++rule) {
        const charts::Series& line = set.panels[rule].series.back();
        for (std::size_t n = 0; n < expected.size(); ++n) {
            const PairedCounts& c = expected[n].rules[rule];
            if (c.pairs() == 0) {
                EXPECT_FALSE(line.points[n]);
                continue;
            }
            ASSERT_TRUE(line.points[n]);
            EXPECT_DOUBLE_EQ(line.points[n]->first, static_cast<double>(n + 1));
            EXPECT_NEAR(line.points[n]->second,
                        100.0 * static_cast<double>(c.bOnly - c.aOnly) / static_cast<double>(c.pairs()), 1e-12);
            EXPECT_LE(line.band[n]->first, line.points[n]->second + 1e-12);
            EXPECT_GE(line.band[n]->second, line.points[n]->second - 1e-12);
        }
    }
}

TEST(PairedComparison, RefusesRunsOverDifferentTests) {
    const std::string copy = (std::filesystem::temp_directory_path() / "paired_copy_responses.txt").string();
    std::filesystem::copy_file(dataFolder + "samplepassfail.txt", copy,
                               std::filesystem::copy_options::overwrite_existing);
    struct Case {
        const char* what;
        void (*changeB)(RunSettings&, const std::string&);
        const char* message;
    };
    const Case cases[] = {
        {"tests per person", [](RunSettings& s, const std::string&) { s.testsPerPerson = 2; },
         "1 and 2 tests per person"},
        {"groups", [](RunSettings& s, const std::string&) { s.groupCount = 3; }, "2 and 3 groups"},
        {"response file", [](RunSettings& s, const std::string& other) { s.responseFile = other; },
         "different response files"},
        {"missing response file",
         [](RunSettings& s, const std::string&) { s.responseFile = s.responseFile + ".missing"; },
         "different response files"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunSettings settingsA = sampleSettings();
        RunSettings settingsB = settingsA;
        c.changeB(settingsB, copy);
        testing::RecordingHost host;
        const Outcome<PairedComparison> paired = comparePairedRuns({settingsA, 1, "A"}, {settingsB, 1, "B"}, host, 1);
        ASSERT_FALSE(paired);
        EXPECT_EQ(paired.failure().kind, FailureKind::Input);
        EXPECT_NE(paired.failure().message.find(c.message), std::string::npos) << paired.failure().message;
        EXPECT_TRUE(host.done.empty()) << "refused before any replay";
    }
    std::filesystem::remove(copy);
}

TEST(PairedComparison, IdentityTellsChangedFilesApart) {
    const Outcome<ResponseIdentity> sample = identifyResponses(dataFolder + "samplepassfail.txt");
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->size, static_cast<std::int64_t>(std::filesystem::file_size(dataFolder + "samplepassfail.txt")));
    struct Case {
        const char* what;
        ResponseIdentity other;
        bool refused;
    };
    const Case cases[] = {
        {"itself", *sample, false},
        {"another size", {sample->path, sample->size + 1, sample->digest}, true},
        {"another digest", {sample->path, sample->size, "0123456789abcdef"}, true},
        {"another file", {dataFolder + "samplepassfail_pool.csv", sample->size, sample->digest}, true},
    };
    for (const Case& c : cases) EXPECT_EQ(!identityRefusal(*sample, c.other).empty(), c.refused) << c.what;
    EXPECT_FALSE(static_cast<bool>(identifyResponses(dataFolder))) << "a folder is no response file";
}

}  // namespace
}  // namespace quillon
