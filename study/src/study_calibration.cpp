#include "study_calibration.h"

#include <filesystem>
#include <optional>
#include <string_view>

#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/study/study.h"

namespace quillon {

namespace {

namespace fs = std::filesystem;

constexpr const char* calibrationTableName = "calibration.csv";
constexpr const char* warningsName = "warnings.txt";
constexpr const char* stampName = "calibrated.txt";

// What the pool was made from: the data's own stamp, the sample and the calibration's options.
std::string poolStamp(const CalibratedPoolJob& job) {
    const CalibrationOptions& c = job.calibration;
    return job.dataStamp + "calibration-examinees " + std::to_string(job.size) + "\nsample-seed " +
           std::to_string(calibrationSampleSeed(job.options.seed, job.size)) + "\nprior " + formatRoundTrip(c.priorA) +
           " " + formatRoundTrip(c.priorB) + "\nmin-answers " + std::to_string(c.minAnswers) + "\ndrop-thin " +
           (c.dropThin ? "1" : "0") + "\n";
}

// The items of a generated pool as observed answers name them, read by the pool loader itself.
std::vector<ObservedItem> poolItems(const std::string& pool, std::int32_t groups) {
    RunSettings settings;
    settings.groupCount = groups;
    const ItemPool loaded = parsePool(pool, settings, "generated pool");
    std::vector<ObservedItem> items;
    for (std::int32_t i = 0; i < loaded.itemCount; ++i)
        items.push_back(
            {loaded.itemId[static_cast<std::size_t>(i)], loaded.itemCollection[static_cast<std::size_t>(i)]});
    return items;
}

}  // namespace

Outcome<ObservedAnswers> calibrationSample(const SampleOptions& options, const SampleFiles& files, std::int64_t size,
                                           std::uint64_t seed) {
    SampleOptions drawn = options;
    drawn.examinees = size;
    // The data's generator with a response stream of its own.
    SampleFiles from;
    from.responseSeed = seed;
    from.priorThousandths = files.priorThousandths;
    from.pCorrectThousandths = files.pCorrectThousandths;
    std::string text;
    text.reserve(static_cast<std::size_t>(size) * (static_cast<std::size_t>(options.items) + 15));
    forEachResponseLine(drawn, from, [&](const std::string& line) { text += line; });
    return readObservedAnswers({{"calibration sample of " + std::to_string(size) + " examinees", std::move(text)}},
                               poolItems(files.pool, options.groups));
}

bool calibratedPoolIsThere(const CalibratedPoolJob& job) {
    return readWholeFile((fs::path(calibrationFolder(job.dataFolder, job.size)) / stampName).string()) ==
           poolStamp(job);
}

Status writeCalibratedPool(const CalibratedPoolJob& job, const SampleFiles& files) {
    const fs::path folder = calibrationFolder(job.dataFolder, job.size);
    const std::string stampFile = (folder / stampName).string();
    std::error_code error;
    // The stamp goes first and comes back last: a pool cut short is made again on the next start.
    fs::remove(stampFile, error);
    const auto refused = [&](const std::string& why) {
        return Failure{FailureKind::Input, "The calibration sample of " + std::to_string(job.size) +
                                               " examinees drawn for the data in " + job.dataFolder +
                                               " gives no pool: " + why};
    };
    Outcome<ObservedAnswers> sample =
        calibrationSample(job.options, files, job.size, calibrationSampleSeed(job.options.seed, job.size));
    if (!sample) return refused(sample.failure().message);
    CalibrationOptions options = job.calibration;
    // Every generated group has its column, even one the sample happens to miss.
    options.groups = job.options.groups;
    options.latentMin = options.latentMax = 0;
    const Outcome<Calibration> calibration = calibratePool(*sample, options);
    if (!calibration) return refused(calibration.failure().message);
    std::string warnings;
    for (const std::string& warning : calibration->warnings) warnings += warning + "\n";
    fs::create_directories(folder, error);
    const std::pair<std::string_view, std::string> outputs[] = {
        {samplePoolName, calibratedPoolText(calibration->pool)},
        {calibrationTableName, calibrationTableText(calibration->pool)},
        {warningsName, warnings},  // what the calibration would warn a user of, one a line
        {stampName, poolStamp(job)}};
    for (const auto& [name, text] : outputs) {
        const std::string path = (folder / std::string(name)).string();
        if (!replaceFileContents(path, text)) return Failure{FailureKind::Output, "Cannot write " + path + "."};
    }
    return {};
}

}  // namespace quillon
