#include "quillon/engine/sample_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>

#include "failure_text.h"
#include "fnv_hex.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/simulation.h"
#include "recording_host.h"

namespace quillon {
namespace {

using testing::RecordingHost;
using testing::TempFolder;

const std::string sourceDir = QUILLON_SOURCE_DIR;

std::string responsesOf(const SampleOptions& options, const SampleFiles& files) {
    std::string text;
    forEachResponseLine(options, files, [&](const std::string& line) { text += line; });
    return text;
}

std::string digestOf(const std::string& text) { return testing::fnv1aHex(text); }

TEST(SampleData, TheShippedFilesAreWhatTheDefaultsGenerate) {
    const SampleOptions options;
    const SampleFiles files = generateSampleFiles(options);
    EXPECT_EQ(TempFolder::read(sourceDir + "/data/samplepassfail_pool.csv"), files.pool);
    EXPECT_EQ(TempFolder::read(sourceDir + "/data/samplepassfail_script.csv"), files.script);
    EXPECT_EQ(TempFolder::read(sourceDir + "/data/samplepassfail_enemies.csv"), files.enemies);
    EXPECT_EQ(TempFolder::read(sourceDir + "/data/samplepassfail.txt"), responsesOf(options, files));
}

// The bytes of sets other than the shipped one, taken before group shares and item quality
// existed: with both at their defaults nothing generated may change.
TEST(SampleData, DefaultSharesAndQualityKeepTheEarlierBytes) {
    struct Case {
        std::int32_t groups;
        std::int32_t collections;
        std::uint64_t seed;
        const char* digest;
    };
    const Case cases[] = {
        {2, 4, 7, "fd4dbdfb35ac5c4f"}, {3, 3, 11, "ee2f6dcb5b62dd55"}, {5, 1, 12345, "67e68f85192d069c"}};
    for (const Case& c : cases) {
        SampleOptions options;
        options.items = 60;
        options.groups = c.groups;
        options.collections = c.collections;
        options.examinees = 150;
        options.scriptLength = 20;
        options.seed = c.seed;
        const SampleFiles files = generateSampleFiles(options);
        const std::string all = files.pool + files.script + files.enemies + responsesOf(options, files);
        EXPECT_EQ(digestOf(all), c.digest) << c.groups << " groups, seed " << c.seed;
    }
}

TEST(SampleData, GeneratedFilesLoadAndFollowTheModel) {
    SampleOptions options;
    options.items = 120;
    options.collections = 3;
    options.groups = 3;
    options.examinees = 400;
    options.scriptLength = 30;
    options.blankShare = 0.1;
    const SampleFiles files = generateSampleFiles(options);
    RunSettings settings;
    settings.groupCount = 3;
    settings.maxTestLength = 30;
    const ItemPool pool = parsePool(files.pool, settings, "pool");
    EXPECT_EQ(pool.itemCount, 120);
    EXPECT_DOUBLE_EQ(pool.groupPrior[0] + pool.groupPrior[1] + pool.groupPrior[2], 1.0);
    const Script script = parseScript(files.script, settings, "script");
    EXPECT_EQ(script.slots.size(), 30u);
    EXPECT_FALSE(parseEnemies(files.enemies, pool, "enemies").empty());
    // Every item's chance rises with the group, and the answers follow it.
    std::vector<std::int64_t> right(3), asked(3);
    std::int64_t blanks = 0, answers = 0;
    for (const std::string& line : splitLines(responsesOf(options, files))) {
        const ResponseRecord record = parseResponseLine(line);
        ASSERT_EQ(record.answers.size(), 120u);
        for (std::int32_t i = 1; i <= 120; ++i) {
            const char c = record.answers[static_cast<std::size_t>(i - 1)];
            ++answers;
            if (c == ' ') {
                ++blanks;
                continue;
            }
            ++asked[static_cast<std::size_t>(record.trueGroup - 1)];
            right[static_cast<std::size_t>(record.trueGroup - 1)] += c == '1';
        }
    }
    EXPECT_NEAR(static_cast<double>(blanks) / static_cast<double>(answers), 0.1, 0.01);
    const auto share = [&](int g) { return static_cast<double>(right[g]) / static_cast<double>(asked[g]); };
    EXPECT_LT(share(0), share(1));
    EXPECT_LT(share(1), share(2));
}

TEST(SampleData, RejectedOptionsSayWhy) {
    const auto with = [](auto change) {
        SampleOptions options;
        change(options);
        return failureText(checkSampleOptions(options));
    };
    EXPECT_EQ(with([](SampleOptions&) {}), "");
    EXPECT_EQ(with([](SampleOptions& o) { o.collections = 9; }), "--collections must be from 1 to 8.");
    EXPECT_EQ(with([](SampleOptions& o) { o.groups = 11; }), "--groups must be from 2 to 10.");
    EXPECT_NE(with([](SampleOptions& o) { o.items = 9; }), "");  // fewer than 1 + 2 + 3 + 4
}

// Sizes are refused before anything is generated: past them the generator would ask for
// gigabytes of memory or fill the disk (and past the runner's limits write what it cannot read).
TEST(SampleData, SizesBeyondTheLimitsAreRefused) {
    const std::string items = "--items must be from 1 to 100000.";
    const std::string examinees = "--examinees must be from 0 to 100000000.";
    const std::string script = "--script-length must be from 1 to 100000.";
    const struct {
        std::function<void(SampleOptions&)> change;
        std::string message;
    } cases[] = {
        {[](SampleOptions& o) { o.items = 100000; }, ""},
        {[](SampleOptions& o) { o.items = 100001; }, items},
        {[](SampleOptions& o) { o.items = std::numeric_limits<std::int32_t>::max(); }, items},
        {[](SampleOptions& o) { o.items = 0; }, items},
        {[](SampleOptions& o) { o.examinees = 100000000; }, ""},
        {[](SampleOptions& o) { o.examinees = 100000001; }, examinees},
        {[](SampleOptions& o) { o.examinees = std::numeric_limits<std::int64_t>::max(); }, examinees},
        {[](SampleOptions& o) { o.examinees = -1; }, examinees},
        {[](SampleOptions& o) { o.scriptLength = 100000; }, ""},
        {[](SampleOptions& o) { o.scriptLength = 100001; }, script},
        {[](SampleOptions& o) { o.scriptLength = 0; }, script},
        {[](SampleOptions& o) { o.groups = maxResponseGroup; }, ""},
        {[](SampleOptions& o) { o.groups = maxResponseGroup + 1; }, "--groups must be from 2 to 10."},
    };
    for (const auto& c : cases) {
        SampleOptions options;
        c.change(options);
        EXPECT_EQ(failureText(checkSampleOptions(options)), c.message)
            << options.items << " " << options.examinees << " " << options.scriptLength << " " << options.groups;
    }
}

// The pool's item rows (everything after the priors line).
std::string itemRowsOf(const std::string& pool) { return pool.substr(pool.find("\r\nI0001") + 2); }

TEST(SampleData, GroupSharesSetThePriorsAndTheDrawnGroups) {
    struct Case {
        std::vector<double> shares;
        std::vector<std::int64_t> prior;  // as the pool writes them, in thousandths
    };
    const Case cases[] = {
        {{.3, .7}, {300, 700}},
        {{.05, .95}, {50, 950}},
        {{.2, .5, .3}, {200, 500, 300}},
        {{1.0 / 3, 1.0 / 3, 1.0 / 3}, {334, 333, 333}},  // the thousandth left over to the first
        {{.1, .2, .3, .4}, {100, 200, 300, 400}},
        {{.0014, .4986, .5}, {1, 499, 500}},
    };
    for (const Case& c : cases) {
        SampleOptions options;
        options.items = 12;
        options.collections = 2;
        options.scriptLength = 4;
        options.examinees = 40000;
        options.groups = static_cast<std::int32_t>(c.shares.size());
        options.groupShares = c.shares;
        ASSERT_EQ(failureText(checkSampleOptions(options)), "");
        const SampleFiles files = generateSampleFiles(options);
        EXPECT_EQ(files.priorThousandths, c.prior);
        std::vector<std::int64_t> seen(c.shares.size());
        for (const std::string& line : splitLines(responsesOf(options, files)))
            ++seen[static_cast<std::size_t>(parseResponseLine(line).trueGroup - 1)];
        for (std::size_t g = 0; g < seen.size(); ++g)
            EXPECT_NEAR(static_cast<double>(seen[g]) / 40000.0, c.shares[g], 0.01) << "group " << g + 1;
        // Only the priors change: the items, script and enemies are those drawn without shares.
        SampleOptions drawn = options;
        drawn.groupShares.clear();
        const SampleFiles without = generateSampleFiles(drawn);
        EXPECT_EQ(itemRowsOf(files.pool), itemRowsOf(without.pool));
        EXPECT_EQ(files.script + files.enemies, without.script + without.enemies);
    }
}

TEST(SampleData, ItemQualityMovesTheGroupsApartOrTogether) {
    for (const std::int32_t groups : {2, 3, 5}) {
        SampleOptions options;
        options.items = 200;
        options.groups = groups;
        options.examinees = 0;
        const std::vector<std::int64_t> base = generateSampleFiles(options).pCorrectThousandths;
        const auto g = static_cast<std::size_t>(groups);
        for (const double quality : {0.0, 0.5, 1.0, 2.0, 6.0}) {
            options.itemQuality = quality;
            ASSERT_EQ(failureText(checkSampleOptions(options)), "");
            const SampleFiles files = generateSampleFiles(options);
            const std::vector<std::int64_t>& p = files.pCorrectThousandths;
            ASSERT_EQ(p.size(), base.size());
            bool anyClamped = false;
            for (std::size_t i = 0; i < base.size(); i += g) {
                double sum = 0;
                for (std::size_t k = 0; k < g; ++k) sum += static_cast<double>(base[i + k]);
                const double mean = sum / static_cast<double>(groups);
                for (std::size_t k = 0; k < g; ++k) {
                    const double wanted = mean + quality * (static_cast<double>(base[i + k]) - mean);
                    const double clamped = std::clamp(wanted, 10.0, 990.0);
                    anyClamped = anyClamped || clamped != wanted;
                    EXPECT_LE(std::fabs(static_cast<double>(p[i + k]) - clamped), 0.5 + 1e-9)
                        << "quality " << quality << ", " << groups << " groups, item " << i / g + 1;
                    if (quality == 0.0) {
                        EXPECT_EQ(p[i + k], p[i]);
                    }
                    if (k > 0) {
                        EXPECT_LE(p[i + k - 1], p[i + k]);  // the order of the groups stays
                    }
                }
            }
            if (quality == 1.0) {
                EXPECT_EQ(p, base);
            }
            if (quality == 6.0) {
                EXPECT_TRUE(anyClamped);
            }
        }
    }
}

TEST(SampleData, ShareAndQualityValuesOutOfRangeAreRefused) {
    struct Case {
        std::int32_t groups;
        std::vector<double> shares;
        double quality;
        const char* message;
    };
    const Case cases[] = {
        {2, {.3, .7}, 1.0, ""},
        {3, {.3, .7}, 1.0, "--group-shares needs one share for each of the 3 groups, not 2."},
        {2, {.3, .3, .4}, 1.0, "--group-shares needs one share for each of the 2 groups, not 3."},
        {2, {0, 1}, 1.0, "--group-shares: the share of group 1 (0) must be above 0 and below 1."},
        {2, {1.2, -.2}, 1.0, "--group-shares: the share of group 1 (1.2) must be above 0 and below 1."},
        {2, {.5, std::nan("")}, 1.0, "--group-shares: the share of group 2 (nan) must be above 0 and below 1."},
        {2, {.3, .6}, 1.0, "--group-shares must add up to 1, not 0.9."},
        {2, {.3, .7 + 1e-8}, 1.0, "--group-shares must add up to 1, not 1.00000001."},
        {2, {.3, .7 + 1e-10}, 1.0, ""},
        {3,
         {.0004, .4996, .5},
         1.0,
         "--group-shares: the share of group 1 is too small for the pool's priors, written in thousandths "
         "(give at least .001)."},
        {2, {}, -0.5, "--item-quality must be a number from 0 up."},
        {2, {}, std::nan(""), "--item-quality must be a number from 0 up."},
        {2, {}, HUGE_VAL, "--item-quality must be a number from 0 up."},
        {2, {}, 0.0, ""},
    };
    for (const Case& c : cases) {
        SampleOptions options;
        options.groups = c.groups;
        options.groupShares = c.shares;
        options.itemQuality = c.quality;
        EXPECT_EQ(failureText(checkSampleOptions(options)), c.message);
    }
}

TEST(SampleData, ExistingFilesAreReplacedOnlyWhenAsked) {
    SampleOptions options;
    options.items = 20;
    options.collections = 2;
    options.examinees = 5;
    options.scriptLength = 5;
    const SampleFiles files = generateSampleFiles(options);
    TempFolder folder;
    // One file of an earlier set: it blocks the whole set, and stays as it was.
    std::filesystem::create_directories(folder.file("data"));
    const std::string old = folder.write("data/samplepassfail_script.csv", "mine\r\n");
    EXPECT_EQ(failureText(writeSampleFiles(options, files, folder.file("data"))),
              "Nothing written: " + old + " already exists. Use --force to replace it, or another --out folder.");
    EXPECT_EQ(TempFolder::read(old), "mine\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.file("data")), {}), 1);
    // All four: each is named.
    ASSERT_EQ(failureText(writeSampleFiles(options, files, folder.file("data"), true)), "");
    EXPECT_EQ(TempFolder::read(old), files.script);
    const std::string problem =
        failureText(writeSampleFiles(options, generateSampleFiles(SampleOptions{}), folder.file("data")));
    for (const char* name :
         {"samplepassfail_pool.csv", "samplepassfail_script.csv", "samplepassfail_enemies.csv", "samplepassfail.txt"})
        EXPECT_NE(problem.find(folder.file("data/") + name), std::string::npos) << name;
    EXPECT_NE(problem.find("already exist. Use --force to replace them"), std::string::npos) << problem;
    EXPECT_EQ(TempFolder::read(folder.file("data/samplepassfail_pool.csv")), files.pool);
    EXPECT_EQ(TempFolder::read(folder.file("data/samplepassfail.txt")), responsesOf(options, files));
    // A folder that is a file cannot be written into: that is said, not that the files exist.
    const std::string notFolder = folder.write("plain", "x");
    EXPECT_EQ(failureText(writeSampleFiles(options, files, notFolder)),
              "Cannot write " + notFolder + "/samplepassfail_pool.csv.");
    // A fresh folder is made and written.
    EXPECT_EQ(failureText(writeSampleFiles(options, files, folder.file("new/data"))), "");
    EXPECT_EQ(TempFolder::read(folder.file("new/data/samplepassfail_enemies.csv")), files.enemies);
}

}  // namespace
}  // namespace quillon
