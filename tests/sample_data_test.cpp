#include "quillon/sample_data.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "quillon/input_files.h"
#include "quillon/simulation.h"
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

// 64-bit FNV-1a of the text, as hex.
std::string digestOf(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

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
    const Case cases[] = {{2, 4, 7, "fd4dbdfb35ac5c4f"}, {3, 3, 11, "ee2f6dcb5b62dd55"}, {5, 1, 12345, "67e68f85192d069c"}};
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
        return checkSampleOptions(options);
    };
    EXPECT_EQ(with([](SampleOptions&) {}), "");
    EXPECT_EQ(with([](SampleOptions& o) { o.collections = 9; }), "--collections must be from 1 to 8.");
    EXPECT_EQ(with([](SampleOptions& o) { o.groups = 11; }), "--groups must be from 2 to 10.");
    EXPECT_NE(with([](SampleOptions& o) { o.items = 9; }), "");  // fewer than 1 + 2 + 3 + 4
}

}  // namespace
}  // namespace quillon
