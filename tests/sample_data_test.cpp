#include "quillon/sample_data.h"

#include <gtest/gtest.h>

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

TEST(SampleData, TheShippedFilesAreWhatTheDefaultsGenerate) {
    const SampleOptions options;
    const SampleFiles files = generateSampleFiles(options);
    EXPECT_EQ(TempFolder::read(sourceDir + "/data/samplepassfail_pool.csv"), files.pool);
    EXPECT_EQ(TempFolder::read(sourceDir + "/data/samplepassfail_script.csv"), files.script);
    EXPECT_EQ(TempFolder::read(sourceDir + "/data/samplepassfail_enemies.csv"), files.enemies);
    EXPECT_EQ(TempFolder::read(sourceDir + "/data/samplepassfail.txt"), responsesOf(options, files));
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
