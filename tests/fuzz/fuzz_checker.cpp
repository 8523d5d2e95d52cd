// Fuzzes the input checker: the first byte picks the settings, the rest is cut into the pool,
// script, enemies and response files at the bytes 0xFF. The checker must not crash, and whenever
// the load refuses an input file, some error of its own must say where in that file.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "quillon/checker/input_checker.h"
#include "recording_host.h"

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

    static const quillon::testing::TempFolder folder;
    quillon::RunSettings settings;
    settings.dropItems = choice & 1;
    settings.uniformPriors = choice & 2;
    settings.followScript = choice & 4;
    settings.blockEnemies = choice & 8;
    settings.groupCount = 2 + ((choice >> 4) & 1);
    settings.maxTestLength = 1 + ((choice >> 5) & 7);
    settings.poolFile = folder.write("pool.csv", std::string(parts[0]));
    settings.scriptFile = folder.write("script.csv", std::string(parts[1]));
    settings.enemiesFile = folder.write("enemies.csv", std::string(parts[2]));
    settings.responseFile = folder.write("responses.txt", std::string(parts[3]));
    settings.resultsFile = folder.file("results.csv");
    settings.exposureFile = folder.file("expos.csv");

    const quillon::CheckReport report = quillon::checkInputs(settings);
    if (report.summary.loaderAccepts) return 0;
    FUZZ_CHECK(!report.summary.canComplete);
    FUZZ_CHECK(std::any_of(report.findings.begin(), report.findings.end(), [](const quillon::Finding& f) {
        return f.kind == quillon::FindingKind::Error && !f.fromLoader && f.input != quillon::CheckedInput::Settings &&
               f.line >= 1 && f.column >= 1;
    }));
    return 0;
}
