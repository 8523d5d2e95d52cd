// A run, a check and a sample set as the packages ask for them: settings by name, inputs as
// paths, texts or tables, and every table handed back as a plain table.
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <limits>
#include <mutex>
#include <random>
#include <type_traits>

#include "quillon/output_tables.h"
#include "quillon/plain_values.h"
#include "quillon/random_generator.h"
#include "quillon/run_reports.h"
#include "quillon/sample_data.h"
#include "quillon/setting_names.h"

namespace quillon {

namespace {

// A private folder for the inputs given as tables and the tables nobody asked to keep; it and
// everything in it goes when the run ends, however it ends.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::error_code error;
        const std::filesystem::path base = std::filesystem::temp_directory_path(error);
        if (error) return;
        std::random_device device;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const std::filesystem::path candidate = base / ("quillon-" + std::to_string(device()));
            if (std::filesystem::create_directory(candidate, error) && !error) {
                std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, error);
                path_ = candidate;
            }
        }
    }
    ~TemporaryFolder() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    bool ok() const { return !path_.empty(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

    /// The text with this folder's path taken out of every file name in it, as given or in upper
    /// case: a message about an input given as a table names "POOL.CSV", not a random folder.
    std::string withoutFolder(std::string text) const {
        const std::string prefix = (path_ / "").string();
        for (const std::string& name : {prefix, upperName(prefix)}) {
            for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at))
                text.erase(at, name.size());
        }
        return text;
    }

private:
    std::filesystem::path path_;
};

// Collects the system's messages instead of showing them, and forwards progress and cancel.
class PlainHost : public RunHost {
public:
    explicit PlainHost(const PlainRunRequest& request) : request_(request) {}

    void showMessage(const std::string& text) override { messages.push_back(withLineFeeds(text)); }
    void showDone(const std::string& text) override { done = withLineFeeds(text); }

    ProgressHandle progressInit(const std::string&) override {
        open_ = true;
        return ++lastHandle_;
    }

    void progressSet(ProgressHandle handle, const ProgressReport& report) override {
        if (!open_ || handle != lastHandle_ || !request_.progress) return;
        try {
            request_.progress(report);
        } catch (...) {
            // A callback that fails cannot be told anything more: the run stops.
            cancelRequested = true;
        }
    }

    bool progressIsCancelled(ProgressHandle handle) override {
        if (!open_ || handle != lastHandle_) return true;
        if (!cancelRequested && request_.cancelled) {
            try {
                cancelRequested = request_.cancelled();
            } catch (...) {
                cancelRequested = true;
            }
        }
        return cancelRequested;
    }

    void progressShutdown(ProgressHandle) override { open_ = false; }

    std::vector<std::string> messages;
    std::string done;
    bool cancelRequested = false;

private:
    const PlainRunRequest& request_;
    bool open_ = false;
    ProgressHandle lastHandle_ = 0;
};

std::string joined(const std::vector<std::string>& messages) {
    std::string text;
    for (const std::string& m : messages) text += (text.empty() ? "" : "\n") + m;
    return text;
}

// Where the run reads one input: the caller's path, or a file written into the private folder.
std::string placeInput(const PlainInput& input, const std::string& what, const std::vector<double>& priors,
                       const TemporaryFolder& folder, std::string& target) {
    switch (input.form) {
        case PlainInput::Form::Absent:
            return {};
        case PlainInput::Form::Path:
            target = input.value;
            return {};
        case PlainInput::Form::Text:
        case PlainInput::Form::Table:
            break;
    }
    PlainFileText file{input.value, {}};
    if (input.form == PlainInput::Form::Table) {
        if (what == "pool")
            file = poolFileText(input.table, priors);
        else if (what == "script")
            file = scriptFileText(input.table);
        else if (what == "enemies")
            file = enemiesFileText(input.table);
        else
            return "The " + what + " cannot be given as a table; give its path or its text";
    }
    if (!file.problem.empty()) return file.problem;
    target = folder.file(what + ".csv");
    if (!replaceFileContents(target, file.text)) return "The " + what + " could not be written to a temporary file";
    return {};
}

// The settings of the run: the named ones, then the inputs, then the runner's own completions.
std::string requestSettings(const PlainRunRequest& request, const TemporaryFolder& folder, RunSettings& settings) {
    for (const auto& [name, value] : request.settings) {
        if (std::string problem = setRunSetting(settings, name, value); !problem.empty()) return problem;
    }
    const std::pair<const PlainInput*, std::string*> inputs[] = {{&request.pool, &settings.poolFile},
                                                                 {&request.data, &settings.responseFile},
                                                                 {&request.script, &settings.scriptFile},
                                                                 {&request.enemies, &settings.enemiesFile}};
    const char* names[] = {"pool", "data", "script", "enemies"};
    for (std::size_t i = 0; i < std::size(inputs); ++i) {
        if (std::string problem = placeInput(*inputs[i].first, names[i], request.priors, folder, *inputs[i].second);
            !problem.empty())
            return problem;
    }
    if (!request.resultsPath.empty()) settings.resultsFile = request.resultsPath;
    if (settings.resultsFile.empty()) settings.resultsFile = folder.file("results.csv");
    if (!request.exposurePath.empty()) settings.exposureFile = request.exposurePath;
    if (settings.exposureFile.empty()) settings.exposureFile = folder.file("exposure.csv");
    clearUnreadCosts(settings);
    return {};
}

RunReportOptions reportOptions(const PlainRunRequest& request, const RunSettings& settings,
                               const TemporaryFolder& folder) {
    RunReportOptions options;
    const auto place = [&folder](bool wanted, const std::string& path, const char* name) {
        return !wanted ? std::string() : !path.empty() ? path : folder.file(name);
    };
    options.traceFile = place(request.trace || !request.tracePath.empty(), request.tracePath, "trace.csv");
    options.traceCandidates = request.traceCandidates;
    options.traceExaminees = request.traceExaminees;
    options.stoppingFile = place(request.stopping || settings.useSprt || !request.stoppingPath.empty(),
                                 request.stoppingPath, "stopping.csv");
    options.confusionFile =
        place(request.confusion || !request.confusionPath.empty(), request.confusionPath, "confusion.csv");
    return options;
}

// Reads one written table back; false (with the reason as the run's error) when it cannot be.
bool readBack(const std::string& path, PlainTable& table, PlainRunResult& result) {
    PlainRead read = readResults(path);
    if (!read.ok()) {
        result.error = joined(result.warnings);
        result.error += (result.error.empty() ? "" : "\n") + read.problem;
        result.warnings.clear();
        return false;
    }
    table = std::move(read.table);
    return true;
}

}  // namespace

PlainRunResult runPlain(const PlainRunRequest& request) {
    PlainRunResult result;
    try {
        TemporaryFolder folder;
        if (!folder.ok()) {
            result.error = "No temporary folder could be made for the run";
            return result;
        }
        RunSettings settings;
        if (std::string problem = requestSettings(request, folder, settings); !problem.empty()) {
            result.error = problem;
            return result;
        }
        if (!request.stopProbabilities.empty()) settings.stopProbabilities = request.stopProbabilities;
        const RunReportOptions options = reportOptions(request, settings, folder);
        const bool reportsWanted =
            !options.traceFile.empty() || !options.stoppingFile.empty() || !options.confusionFile.empty();
        RunReports reports(options, settings);
        if (reportsWanted) {
            if (const std::vector<std::string> problems = reports.unwritableFiles(); !problems.empty()) {
                result.error = folder.withoutFolder(joined(problems));
                return result;
            }
        }
        PlainHost host(request);
        RunOptions runOptions;
        runOptions.threadCount = request.threads > 0 ? request.threads : defaultThreadCount();
        if (reportsWanted) runOptions.listener = &reports;
        RandomGenerator random(request.seed.value_or(RandomGenerator::defaultSeed));
        result.summary = runSimulation(settings, random, host, runOptions);
        if (reportsWanted) {
            for (const std::string& problem : reports.finish(result.summary)) host.messages.push_back(problem);
        }
        result.doneMessage = host.done;
        if (host.cancelRequested) {
            result.cancelled = true;
            return result;
        }
        for (std::string& message : host.messages) message = folder.withoutFolder(message);
        if (!result.summary.completed) {
            result.error = joined(host.messages);
            return result;
        }
        // An icol error cuts the replay but the tables cover the tests that ran; any other message
        // of a completed run is a table that could not be written, and a table read from its path
        // could then be an old one.
        const bool onlyCut = std::all_of(host.messages.begin(), host.messages.end(),
                                         [](const std::string& m) { return m.starts_with("icol error"); });
        if (!onlyCut) {
            result.error = joined(host.messages);
            return result;
        }
        result.warnings = host.messages;
        if (!readBack(settings.resultsFile, result.results, result)) return result;
        result.hasExposure = settings.saveExposure;
        if (result.hasExposure && !readBack(trimSpaces(settings.exposureFile), result.exposure, result)) return result;
        if (reportsWanted && !reports.written()) {
            result.error = joined(result.warnings);
            result.warnings.clear();
            if (result.error.empty()) result.error = "The run's reports were not written";
            return result;
        }
        result.hasTrace = !options.traceFile.empty();
        if (result.hasTrace && !readBack(options.traceFile, result.trace, result)) return result;
        result.hasStopping = !options.stoppingFile.empty();
        if (result.hasStopping && !readBack(options.stoppingFile, result.stopping, result)) return result;
        result.hasConfusion = !options.confusionFile.empty();
        if (result.hasConfusion && !readBack(options.confusionFile, result.confusion, result)) return result;
    } catch (const std::exception& error) {
        result.error = error.what();
    }
    return result;
}

PlainGenerated generatePlain(const std::vector<std::pair<std::string, std::string>>& options,
                             const std::string& folder) {
    PlainGenerated generated;
    SampleOptions sample;
    for (const auto& [name, value] : options) {
        const std::string where = "option " + name + ": \"" + value + "\"";
        if (name == "blank-share") {
            char* end = nullptr;
            sample.blankShare = std::strtod(value.c_str(), &end);
            if (value.empty() || end != value.c_str() + value.size()) {
                generated.problem = where + " is not a number";
                return generated;
            }
            continue;
        }
        std::uint64_t whole = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), whole);
        if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
            generated.problem = where + " is not a whole number of 0 or more";
            return generated;
        }
        // Larger than any field holds: checkSampleOptions refuses what is out of its range.
        const auto narrow = [whole](auto& field) {
            using Field = std::remove_reference_t<decltype(field)>;
            field = whole > static_cast<std::uint64_t>(std::numeric_limits<Field>::max())
                        ? std::numeric_limits<Field>::max()
                        : static_cast<Field>(whole);
        };
        if (name == "items")
            narrow(sample.items);
        else if (name == "collections")
            narrow(sample.collections);
        else if (name == "groups")
            narrow(sample.groups);
        else if (name == "examinees")
            narrow(sample.examinees);
        else if (name == "script-length")
            narrow(sample.scriptLength);
        else if (name == "seed")
            sample.seed = whole;
        else {
            generated.problem = "there is no sample option named \"" + name + "\"";
            return generated;
        }
    }
    if (std::string problem = checkSampleOptions(sample); !problem.empty()) {
        generated.problem = problem;
        return generated;
    }
    const SampleFiles files = generateSampleFiles(sample);
    if (std::string problem = writeSampleFiles(sample, files, folder); !problem.empty()) {
        generated.problem = problem;
        return generated;
    }
    const std::filesystem::path base(folder);
    generated.pool = (base / samplePoolName).string();
    generated.script = (base / sampleScriptName).string();
    generated.enemies = (base / sampleEnemiesName).string();
    generated.data = (base / sampleResponseName).string();
    return generated;
}

PlainChecked checkPlain(const PlainRunRequest& request) {
    PlainChecked checked;
    try {
        TemporaryFolder folder;
        if (!folder.ok()) {
            checked.problem = "No temporary folder could be made for the check";
            return checked;
        }
        RunSettings settings;
        if (std::string problem = requestSettings(request, folder, settings); !problem.empty()) {
            checked.problem = problem;
            return checked;
        }
        CheckReport report = checkInputs(settings);
        for (Finding& finding : report.findings) {
            finding.file = folder.withoutFolder(finding.file);
            finding.what = folder.withoutFolder(finding.what);
        }
        report.summary.loaderMessage = folder.withoutFolder(report.summary.loaderMessage);
        checked.findings = plainFindings(report);
        checked.text = checkReportText(report);
        checked.exitCode = checkExitCode(report);
    } catch (const std::exception& error) {
        checked.problem = error.what();
    }
    return checked;
}

}  // namespace quillon
