// Runs the sample run in memory with libquillon and prints one line about it:
//   quillon-embed DATA_FOLDER
// where DATA_FOLDER holds the sample files (data/ in the repository).
#include <cstdio>
#include <string>

#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/simulation.h"
#include "quillon/libquillon/library_version.h"

namespace {

// Messages go to the standard error; no progress, no cancel.
class StderrHost : public quillon::SilentHost {
public:
    void showMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    void showDone(const std::string&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillon-embed DATA_FOLDER\n");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    quillon::RunSettings settings;  // the window's defaults
    settings.poolFile = folder + std::string(quillon::samplePoolName);
    settings.scriptFile = folder + std::string(quillon::sampleScriptName);
    settings.enemiesFile = folder + std::string(quillon::sampleEnemiesName);
    settings.responseFile = folder + std::string(quillon::sampleResponseName);
    settings.saveExposure = false;  // kept in memory: no table is written

    quillon::RandomGenerator random;
    StderrHost host;
    // Loaded and checked without output names: the run is kept in memory.
    quillon::Outcome<quillon::PreparedRun> prepared = quillon::prepareRunWithoutTables(settings);
    if (!prepared) {
        std::fprintf(stderr, "%s\n", prepared.failure().message.c_str());
        return 1;
    }
    const quillon::RunSummary summary = quillon::runPrepared(settings, prepared.value(), random, host);
    if (!summary.completed) return 1;

    const quillon::RunStatistics& statistics = summary.statistics;
    if (statistics.lengths.empty()) return 1;
    std::printf("libquillon %s: %lld examinees, %lld tests, %lld classified right by MAP after %zu items\n",
                std::string(quillon::libraryVersion()).c_str(), static_cast<long long>(statistics.examinees),
                static_cast<long long>(statistics.testsTaken),
                static_cast<long long>(statistics.lengths.back().mapAccurate), statistics.lengths.size());
    return 0;
}
