// A whole short run from four fuzzed files and a few setting bytes. The settings stay small
// (length up to 20, 2 to 6 groups, 1 to 3 tests) so that one input runs in milliseconds.
#include <fuzzer/FuzzedDataProvider.h>

#include <filesystem>

#include "fuzz_support.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/simulation.h"
#include "recording_host.h"

namespace {

// Records what the run says and never cancels.
class QuietHost : public quillon::RunHost {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
    void showDone(const std::string& text) override { done.push_back(text); }
    quillon::ProgressHandle progressInit(const std::string&) override {
        ++opened;
        return 1;
    }
    void progressSet(quillon::ProgressHandle, const quillon::ProgressReport& report) override {
        FUZZ_CHECK(report.testsStarted >= 0);
    }
    bool progressIsCancelled(quillon::ProgressHandle) override { return false; }
    void progressShutdown(quillon::ProgressHandle) override {}

    std::vector<std::string> messages;
    std::vector<std::string> done;
    int opened = 0;
};

double pickDouble(FuzzedDataProvider& input) {
    static constexpr double choices[] = {0.05, 0.0, 1.0, 1.5, 0.5, -1.0, 0.001, 2.0};
    return choices[input.ConsumeIntegralInRange<int>(0, 7)];
}

// Keeps the run short: every examinee costs a whole test, however short its line.
std::string firstLines(std::string text, int lines) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((text[i] == '\r' || text[i] == '\n') && --lines == 0) {
            text.resize(i + 1);
            break;
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static const quillon::testing::TempFolder folder;
    FuzzedDataProvider input(data, size);

    quillon::RunSettings settings;
    settings.maxTestLength = input.ConsumeIntegralInRange<std::int32_t>(1, 20);
    settings.groupCount = input.ConsumeIntegralInRange<std::int32_t>(2, 6);
    settings.testsPerPerson = input.ConsumeIntegralInRange<std::int32_t>(1, 3);
    static const quillon::SelectionMethod methods[] = {
        quillon::SelectionMethod::Shannon, quillon::SelectionMethod::MaxDiscr, quillon::SelectionMethod::MinCost};
    settings.selectionMethod = methods[input.ConsumeIntegralInRange<int>(0, 2)];
    settings.randomizationFactor =
        input.ConsumeBool() ? settings.maxTestLength : input.ConsumeIntegralInRange<std::int32_t>(-1, 22);
    settings.sprtAlpha = pickDouble(input);
    settings.sprtBeta = pickDouble(input);
    settings.costPassPass = pickDouble(input);
    settings.costPassFail = pickDouble(input);
    settings.costFailPass = pickDouble(input);
    settings.costFailFail = pickDouble(input);
    settings.dropItems = input.ConsumeBool();
    settings.blockEnemies = input.ConsumeBool();
    settings.saveExposure = input.ConsumeBool();
    settings.uniformPriors = input.ConsumeBool();
    settings.followScript = input.ConsumeBool();
    const bool twoThreads = input.ConsumeBool();
    const std::uint32_t seed = input.ConsumeIntegral<std::uint32_t>();

    settings.poolFile = folder.write("pool.csv", input.ConsumeRandomLengthString(4096));
    settings.scriptFile = folder.write("script.csv", input.ConsumeRandomLengthString(4096));
    settings.enemiesFile = folder.write("enemies.csv", input.ConsumeRandomLengthString(4096));
    settings.responseFile = folder.write("responses.txt", firstLines(input.ConsumeRemainingBytesAsString(), 40));
    settings.resultsFile = folder.file("results.csv");
    settings.exposureFile = folder.file("expos.csv");
    std::filesystem::remove(settings.resultsFile);
    std::filesystem::remove(settings.exposureFile);

    QuietHost host;
    quillon::RandomGenerator random(seed);
    const quillon::RunSummary summary = quillon::runSimulation(settings, random, host);
    FUZZ_CHECK(host.done.size() == (summary.completed ? 1u : 0u));
    FUZZ_CHECK(summary.completed || !host.messages.empty());  // a run that stops says why
    FUZZ_CHECK(summary.testsStarted <= summary.expectedTests);
    if (!summary.completed) return 0;
    const std::string results = quillon::testing::TempFolder::read(settings.resultsFile);
    FUZZ_CHECK(!results.empty() && results.ends_with("\r\n"));
    // A header and one row per test length, each row starting with its length.
    const std::vector<std::string> rows = quillon::splitLines(results);
    FUZZ_CHECK(rows.size() == static_cast<std::size_t>(settings.maxTestLength) + 1);
    for (std::size_t n = 1; n < rows.size(); ++n) FUZZ_CHECK(rows[n].starts_with(std::to_string(n) + ","));
    const std::string exposure =
        settings.saveExposure ? quillon::testing::TempFolder::read(settings.exposureFile) : std::string();

    if (twoThreads) {
        // Whatever the number of threads, the same tables, messages and generator state.
        QuietHost other;
        quillon::RandomGenerator otherRandom(seed);
        const quillon::RunSummary again = quillon::runSimulation(settings, otherRandom, other, {2});
        FUZZ_CHECK(again.completed && other.messages == host.messages && other.done == host.done);
        FUZZ_CHECK(otherRandom.state() == random.state());
        FUZZ_CHECK(quillon::testing::TempFolder::read(settings.resultsFile) == results);
        if (settings.saveExposure) FUZZ_CHECK(quillon::testing::TempFolder::read(settings.exposureFile) == exposure);
    }
    return 0;
}
