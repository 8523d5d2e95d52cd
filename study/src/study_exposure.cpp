#include "study_exposure.h"

#include <filesystem>
#include <set>
#include <utility>
#include <vector>

#include "quillon/engine/exposure_control.h"
#include "quillon/engine/fnv1a.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_parts.h"
#include "quillon/engine/sample_data.h"
#include "quillon/engine/setting_names.h"
#include "quillon/exposure_calibration/exposure_calibration.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"

namespace quillon {

namespace {

namespace fs = std::filesystem;

constexpr const char* stampName = "calibrated.txt";
constexpr const char* stepsName = "exposure_calibration.csv";

// A study calibrates many pools before its first task: fewer iterations than a calibration of its
// own, and rates within a point of R count as at it (the noise of one simulation).
ExposureCalibrationOptions studyCalibrationOptions(const Study& study, std::int32_t replication) {
    ExposureCalibrationOptions options;
    options.maxIterations = 20;
    options.tolerance = 0.01;
    // Apart from the replication's data and run streams ("exposure").
    options.seed = static_cast<std::uint32_t>(
        splitMix64(splitMix64(study.seed ^ 0x6578706f73757265ULL) + static_cast<std::uint64_t>(replication)) >> 32);
    options.threadCount = static_cast<int>(study.threads);
    return options;
}

bool poolHasParameters(const std::string& path) {
    LineReader reader(path);
    std::string header;
    if (!reader.isOpen() || !reader.nextLine(header)) return false;
    for (const std::string& field : csvFields(header))
        if (trimSpaces(field) == exposureParameterHeader) return true;
    return false;
}

// What a calibration depends on besides the responses: the files other than the data and every
// setting, by name.
std::string calibrationKey(const RunSettings& settings) {
    std::string key =
        "pool " + settings.poolFile + "\nscript " + settings.scriptFile + "\nenemies " + settings.enemiesFile + "\n";
    for (const NamedSetting& setting : namedRunSettings()) {
        if (setting.text != nullptr) continue;  // the files, above or set per run
        key += std::string(setting.name) + " ";
        if (setting.whole != nullptr) key += std::to_string(settings.*setting.whole);
        if (setting.number != nullptr) key += formatRoundTrip(settings.*setting.number);
        if (setting.flag != nullptr) key += settings.*setting.flag ? "1" : "0";
        if (setting.method != nullptr) key += selectionMethodName(settings.*setting.method);
        if (setting.control != nullptr) key += exposureControlName(settings.*setting.control);
        key += "\n";
    }
    return key;
}

struct ExposureJob {
    RunSettings settings;  // with the pool to calibrate and the responses to simulate
    std::size_t condition = 0;
    std::int32_t replication = 0;
};

std::string stepsTable(const ExposureCalibration& calibration) {
    std::string text = "iteration,max_selection_rate,max_exposure_rate,items_limited\r\n";
    for (const ExposureCalibrationStep& step : calibration.steps)
        text += std::to_string(step.iteration) + "," + formatRoundTrip(step.maxSelectionRate) + "," +
                formatRoundTrip(step.maxExposureRate) + "," + std::to_string(step.itemsLimited) + "\r\n";
    return text;
}

}  // namespace

std::optional<std::string> exposurePoolFor(const Study& study, const std::string& workFolder,
                                           const RunSettings& settings) {
    if (settings.exposureControl != ExposureControl::SympsonHetter || poolHasParameters(settings.poolFile))
        return std::nullopt;
    Fnv1a hash;
    hash.add(calibrationKey(settings));
    // Beside the pool it was made from when the study made that pool too; given pools stay untouched.
    const fs::path base = study.generated && fs::path(settings.poolFile).filename() == samplePoolName &&
                                  fs::path(settings.poolFile).string().starts_with(workFolder)
                              ? fs::path(settings.poolFile).parent_path()
                              : fs::path(workFolder) / "exposure";
    return (base / ("exposure_" + hash.hex()) / samplePoolName).string();
}

Status prepareExposurePools(const Study& study, const std::string& workFolder, StudyWatcher* watcher) {
    // Each pool with the first run that reads it, in the study's order.
    std::vector<std::pair<std::string, ExposureJob>> jobs;
    std::set<std::string> seen;
    for (std::size_t c = 0; c < conditionCount(study); ++c)
        for (std::int32_t r = 0; r < study.replications; ++r) {
            StudyRun run = studyRun(study, workFolder, c, r);
            if (run.calibratedFrom.empty() || !seen.insert(run.settings.poolFile).second) continue;
            const std::string pool = run.settings.poolFile;
            run.settings.poolFile = run.calibratedFrom;
            jobs.emplace_back(pool, ExposureJob{std::move(run.settings), c, r});
        }
    std::size_t done = 0;
    for (auto& [pool, job] : jobs) {
        ++done;
        const fs::path folder = fs::path(pool).parent_path();
        const ExposureCalibrationOptions options = studyCalibrationOptions(study, job.replication);
        RunSettings& settings = job.settings;
        settings.resultsFile = (folder / "calibration_results.csv").string();
        const std::string which =
            "condition " + std::to_string(job.condition + 1) + ", replication " + std::to_string(job.replication + 1);
        const Outcome<std::string> digest = runDigest(settings, options.seed);
        if (!digest)
            return Failure{FailureKind::Input,
                           "Sympson–Hetter parameters for " + which + ": " + digest.failure().message};
        const std::string stamp = "digest " + *digest + "\nmax-iterations " + std::to_string(options.maxIterations) +
                                  "\ntolerance " + formatRoundTrip(options.tolerance) + "\n";
        const std::string stampFile = (folder / stampName).string();
        if (readWholeFile(stampFile) == stamp) continue;
        if (watcher != nullptr) {
            if (watcher->stopRequested())
                return Failure{FailureKind::Cancelled, "The study was stopped; a rerun keeps the finished tasks"};
            watcher->calibratingExposure(done, jobs.size(), settings.maxExposure);
        }
        std::error_code error;
        // The stamp goes first and comes back last: a pool cut short is made again on the next start.
        fs::remove(stampFile, error);
        fs::create_directories(folder, error);
        SilentHost host;
        const Outcome<ExposureCalibration> calibration = calibrateExposure(settings, options, host);
        const auto refused = [&](const std::string& why) {
            return Failure{FailureKind::Input, "The Sympson–Hetter parameters of " + which +
                                                   " at R = " + formatRoundTrip(settings.maxExposure) +
                                                   " could not be calibrated: " + why};
        };
        if (!calibration) return refused(calibration.failure().message);
        const std::optional<std::string> poolText = readWholeFile(settings.poolFile);
        if (!poolText) return refused("the pool " + settings.poolFile + " cannot be read");
        const Outcome<std::string> withParameters =
            poolWithExposureParameters(*poolText, settings, calibration->parameters);
        if (!withParameters) return refused(withParameters.failure().message);
        const std::pair<std::string, std::string> outputs[] = {
            {pool, *withParameters}, {(folder / stepsName).string(), stepsTable(*calibration)}, {stampFile, stamp}};
        for (const auto& [path, text] : outputs)
            if (!replaceFileContents(path, text)) return Failure{FailureKind::Output, "Cannot write " + path + "."};
    }
    return {};
}

}  // namespace quillon
