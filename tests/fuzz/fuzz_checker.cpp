// Fuzzes the input checker against the loader: the first byte picks the settings, the rest is cut
// into the pool, script, enemies and response files at the bytes 0xFF. The checker must not crash
// and must never disagree with the loader about whether the files load.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "quillon/input_checker.h"
#include "quillon/input_files.h"

namespace {

const std::filesystem::path& folder() {
    static const std::filesystem::path path = [] {
        std::filesystem::path made =
            std::filesystem::temp_directory_path() / ("quillon-fuzz-checker-" + std::to_string(::getpid()));
        std::filesystem::create_directories(made);
        return made;
    }();
    return path;
}

std::string writeFile(const char* name, std::string_view bytes) {
    const std::string path = (folder() / name).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

// The loader's refusals that the checker mirrors with rules of its own; others (added to the
// loader later) need only some error of the checker's own on the same file.
bool mirroredRefusal(const std::string& message) {
    if (message.starts_with("Output file")) return false;
    for (const char* end : {" is not available.", " has no items.", " has no enemy sets.", " has no slots.",
                            " has no group priors; turn on Uniform Priors or add a P_Grp row."})
        if (message.ends_with(end)) return true;
    return message.find(" slots for a test length of ") != std::string::npos;
}

// Empty when the checker and the loader agree on whether the files load, else how they differ.
std::string disagreement(const quillon::CheckReport& report, bool loaderRefuses, const std::string& message) {
    bool own = false;
    bool fallback = false;
    for (const quillon::Finding& finding : report.findings) {
        own = own || (finding.refusesLoad && !finding.fromLoader);
        fallback = fallback || finding.fromLoader;
    }
    if (report.summary.loaderAccepts == loaderRefuses) return "the checker's loader call saw another verdict";
    if (own && !loaderRefuses) return "the checker claims a refusal the loader does not make";
    if (fallback) return "no rule of the checker explains the refusal: " + message;
    if (loaderRefuses && mirroredRefusal(message) && !own) return "the checker misses the refusal: " + message;
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t choice = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string_view parts[4];
    for (std::string_view& part : parts) {
        const std::size_t cut = rest.find('\xFF');
        part = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    }

    quillon::RunSettings settings;
    settings.dropItems = choice & 1;
    settings.uniformPriors = choice & 2;
    settings.followScript = choice & 4;
    settings.blockEnemies = choice & 8;
    settings.groupCount = 2 + ((choice >> 4) & 1);
    settings.maxTestLength = 1 + ((choice >> 5) & 7);
    settings.poolFile = writeFile("pool.csv", parts[0]);
    settings.scriptFile = writeFile("script.csv", parts[1]);
    settings.enemiesFile = writeFile("enemies.csv", parts[2]);
    settings.responseFile = writeFile("responses.txt", parts[3]);
    settings.resultsFile = (folder() / "results.csv").string();
    settings.exposureFile = (folder() / "expos.csv").string();

    bool loaderRefuses = false;
    std::string message;
    try {
        quillon::loadInputFiles(settings);
    } catch (const quillon::InputError& refusal) {
        loaderRefuses = true;
        message = refusal.what();
    }
    const quillon::CheckReport report = quillon::checkInputs(settings);
    if (const std::string problem = disagreement(report, loaderRefuses, message); !problem.empty()) {
        std::fprintf(stderr, "checker and loader disagree: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
