// A run, a check and a sample set as the packages ask for them: settings by name, inputs as
// paths, texts or tables, and every table handed back as a plain table.
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <random>

#include "plain_internal.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_limits.h"
#include "quillon/engine/sample_data.h"
#include "quillon/engine/setting_names.h"
#include "quillon/package_core/plain_values.h"
#include "quillon/run_record/run_record.h"
#include "quillon/run_reports/run_reports.h"
#include "quillon/study/study.h"

namespace quillon {

namespace {

// A private folder for a check's inputs given as texts or tables; it and everything in it goes
// when the check ends, however it ends.
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
        return askCancelled(request_.cancelled, cancelRequested);
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

// An input given as text or as a table, as the text of its file; the reason when a table cannot be one.
Outcome<std::string> inputText(const PlainInput& input, std::string_view what, const std::vector<double>& priors) {
    if (input.form == PlainInput::Form::Text) return input.value;
    if (what == "pool") return poolFileText(input.table, priors);
    if (what == "script") return scriptFileText(input.table);
    if (what == "enemies") return enemiesFileText(input.table);
    return Failure{FailureKind::Input,
                   "The " + std::string(what) + " cannot be given as a table; give its path, its lines or a matrix"};
}

// The checker reads files: an input given as text or as a table is written into the private folder.
std::string placeInput(const PlainInput& input, const char* what, const std::vector<double>& priors,
                       const TemporaryFolder& folder, std::string& target) {
    if (input.form == PlainInput::Form::Absent) return {};
    if (input.form == PlainInput::Form::Path) {
        target = input.value;
        return {};
    }
    const Outcome<std::string> file = inputText(input, what, priors);
    if (!file) return file.failure().message;
    target = folder.file(std::string(what) + ".csv");
    if (!replaceFileContents(target, *file))
        return "The " + std::string(what) + " could not be written to a temporary file";
    return {};
}

std::string packageName(std::string_view name) {
    std::string shown(name);
    std::replace(shown.begin(), shown.end(), '-', '_');
    return shown;
}

// A run's own choices beyond its settings, as a package names them.
struct RunChoices {
    std::uint32_t seed = RandomGenerator::defaultSeed;
    int threads = 0;  // 0: the default
    std::int32_t traceCandidates = 0;
    std::int64_t traceExaminees = -1;  // negative: every examinee
};

constexpr const char* runChoiceNames[] = {"seed", "threads", "trace-candidates", "trace-examinees", "stop-probability"};

std::vector<std::string> settingNames(bool withChoices) {
    std::vector<std::string> names;
    for (const NamedSetting& setting : namedRunSettings()) names.emplace_back(setting.name);
    if (withChoices) names.insert(names.end(), std::begin(runChoiceNames), std::end(runChoiceNames));
    return names;
}

// One of the run's own choices; false when `name` is none of them.
bool setRunChoice(const std::string& name, const std::string& given, const std::string& value, RunChoices& choices,
                  std::vector<double>& stops, PlainProblem& problem) {
    std::int64_t whole = 0;
    if (name == "stop-probability" || name == "stop-probabilities") {
        double x = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), x);
        if (value.empty() || error != std::errc() || end != value.data() + value.size())
            problem = {PlainProblemKind::SettingValue, "setting " + given + ": \"" + value + "\" is not a number"};
        stops.push_back(x);  // its range is the settings' check
    } else if (name == "seed") {
        problem = wholeSetting(given, value, std::int64_t{0}, std::int64_t{UINT32_MAX}, whole);
        choices.seed = static_cast<std::uint32_t>(whole);
    } else if (name == "threads") {
        problem = wholeSetting(given, value, std::int64_t{1}, std::int64_t{maxThreadCount}, whole);
        choices.threads = static_cast<int>(whole);
    } else if (name == "trace-candidates") {
        problem = wholeSetting(given, value, std::int64_t{0}, std::int64_t{maxTraceCandidates}, whole);
        choices.traceCandidates = static_cast<std::int32_t>(whole);
    } else if (name == "trace-examinees") {
        problem = wholeSetting(given, value, std::int64_t{0}, std::int64_t{INT64_MAX}, whole);
        choices.traceExaminees = whole;
    } else {
        return false;
    }
    return true;
}

// The settings of the request, checked as the runner checks them before it opens a file, and with
// `choices` the run's own choices; a problem names the setting as the request does.
PlainProblem requestSettings(const PlainRunRequest& request, RunSettings& settings, RunChoices* choices) {
    std::map<std::string, std::string, std::less<>> given;  // runner's name -> the request's
    std::vector<double> stops;
    for (const auto& [shown, value] : request.settings) {
        const std::string name = runnerName(shown);
        if (findRunSetting(name) != nullptr) {
            if (const Status set = setRunSetting(settings, name, value, shown); !set)
                return {PlainProblemKind::SettingValue, set.failure().message};
        } else if (PlainProblem problem;
                   choices != nullptr && setRunChoice(name, shown, value, *choices, stops, problem)) {
            if (problem) return problem;
        } else {
            return unknownName("setting", shown, settingNames(choices != nullptr), request.argumentNames);
        }
        given[name.starts_with("stop-probabilit") ? "stop-probability" : name] = shown;
    }
    if (!stops.empty()) settings.stopProbabilities = stops;
    if (!request.resultsPath.empty()) settings.resultsFile = request.resultsPath;
    if (!request.exposurePath.empty()) settings.exposureFile = request.exposurePath;
    clearUnreadCosts(settings);
    const std::optional<RunSettingsProblem> problem = findRunSettingsProblem(settings);
    if (!problem) return {};
    const auto named = given.find(problem->setting);
    return {PlainProblemKind::SettingValue, "setting " +
                                                (named != given.end() ? named->second : packageName(problem->setting)) +
                                                ": " + withLineFeeds(problem->failure.message)};
}

// The input files the request names: its paths, or those the settings name.
void namePaths(const PlainRunRequest& request, RunSettings& settings) {
    const std::pair<const PlainInput*, std::string*> inputs[] = {{&request.pool, &settings.poolFile},
                                                                 {&request.data, &settings.responseFile},
                                                                 {&request.script, &settings.scriptFile},
                                                                 {&request.enemies, &settings.enemiesFile}};
    for (const auto& [input, path] : inputs) {
        if (input->form == PlainInput::Form::Path) *path = input->value;
    }
}

// Loads one of the pool, script and enemies files: the engine's loader for a path (also one the
// settings name), the same parser over the text in memory otherwise, which messages call
// "pool.csv" and the like. `parse` takes the lines and that name.
template <class Parse>
auto loadInput(const PlainInput& input, const char* what, const char* kind, const std::vector<double>& priors,
               const std::string& path, Parse parse) {
    if (input.form == PlainInput::Form::Path || input.form == PlainInput::Form::Absent)
        return parse(readInputLines(path, kind), path);
    const Outcome<std::string> file = inputText(input, what, priors);
    return parse(splitLines(file.value()), std::string(what) + ".csv");
}

// A request whose data are a matrix of answers, with the data as the response lines the matrix
// stands for (`lined`), so that a run and a check read them as they read lines given in memory.
PlainProblem withAnswerLines(const PlainRunRequest& request, const RunSettings& settings,
                             std::optional<PlainRunRequest>& lined) {
    if (request.data.form != PlainInput::Form::Answers) return {};
    Outcome<std::string> lines = answerLines(request.data.answers, settings.groupCount);
    if (!lines) return {plainProblemKind(lines.failure().kind), lines.failure().message};
    lined.emplace(request);
    lined->data = PlainInput::text(std::move(*lines));
    return {};
}

// Everything a run loads, in the runner's order, with its inputs in memory, and the tables it
// writes (`tables`) checked as the runner checks them. `matrixItems`: the items of data given as a
// matrix, which must answer every kept pool item, since answers go to pool positions.
Outcome<PreparedRun> prepareRequest(const PlainRunRequest& request, const RunSettings& settings,
                                    const RunSettings& tables, std::optional<std::size_t> matrixItems) {
    return catchFailure([&] {
        InputFiles inputs;
        inputs.pool = loadInput(request.pool, "pool", "Pool", request.priors, settings.poolFile,
                                [&](const std::vector<std::string>& lines, const std::string& name) {
                                    return parsePool(lines, settings, name);
                                });
        if (matrixItems && *matrixItems != static_cast<std::size_t>(inputs.pool.itemCount))
            throw FailureError(FailureKind::Input, "The data have " + std::to_string(*matrixItems) +
                                                       " items but the pool has " +
                                                       std::to_string(inputs.pool.itemCount) +
                                                       (settings.dropItems ? " kept items" : " items"));
        if (settings.blockEnemies)
            inputs.enemySets = loadInput(request.enemies, "enemies", "Enemies", request.priors, settings.enemiesFile,
                                         [&](const std::vector<std::string>& lines, const std::string& name) {
                                             return parseEnemies(lines, inputs.pool, name);
                                         });
        if (settings.followScript)
            inputs.script = loadInput(request.script, "script", "Script", request.priors, settings.scriptFile,
                                      [&](const std::vector<std::string>& lines, const std::string& name) {
                                          return parseScript(lines, settings, name);
                                      });
        refuseTablesOverInputs(tables);
        if (!tables.resultsFile.empty()) proveResultsWritable(tables);
        // The response lines: the file, read as the replay goes, or the text in memory.
        RunSettings counted = settings;
        std::unique_ptr<LineReader> responses;
        switch (request.data.form) {
            case PlainInput::Form::Path:
            case PlainInput::Form::Absent:
                responses = std::make_unique<LineReader>(settings.responseFile);
                break;
            case PlainInput::Form::Text:
                counted.responseFile = "data.csv";
                responses = LineReader::overText(request.data.value);
                break;
            case PlainInput::Form::Table:
            case PlainInput::Form::Answers:  // already lines: see withAnswerLines
                throw InputError("The data cannot be given as a table; give its path, its lines or a matrix");
        }
        return prepareRun(counted, std::move(inputs), std::move(responses)).value();
    });
}

// The record of a completed run: an input given as text or as a table is recorded by the bytes the
// run read, without a path, and its setting left empty so that no file is named that was not read.
RunRecord plainRecord(const PlainRunRequest& request, const RunSettings& ran, std::uint32_t seed,
                      const RunSummary& summary, const std::vector<RoleFile>& runFiles) {
    RunSettings settings = ran;
    RunRecord record = newRunRecord(settings, seed, summary.examinees, summary.testsStarted);
    // The outputs only: the inputs are recorded below, each once, by how the request gave it.
    const std::vector<RoleFile> inputFiles = runInputFiles(ran);
    std::vector<RoleFile> outputs;
    for (const RoleFile& file : runFiles) {
        if (std::none_of(inputFiles.begin(), inputFiles.end(),
                         [&](const RoleFile& input) { return input.role == file.role; }))
            outputs.push_back(file);
    }
    recordRunFiles(record, outputs, true);
    const std::pair<const PlainInput*, std::string*> inputs[] = {{&request.pool, &settings.poolFile},
                                                                 {&request.data, &settings.responseFile},
                                                                 {&request.script, &settings.scriptFile},
                                                                 {&request.enemies, &settings.enemiesFile}};
    for (const RoleFile& file : inputFiles) {
        const auto& [input, path] = inputs[file.role == "pool"     ? 0
                                           : file.role == "data"   ? 1
                                           : file.role == "script" ? 2
                                                                   : 3];
        if (input->form == PlainInput::Form::Path || input->form == PlainInput::Form::Absent) {
            if (std::optional<RecordedFile> one = recordedFile(file.role, file.path)) record.inputs.push_back(*one);
            continue;
        }
        path->clear();
        if (const Outcome<std::string> text = inputText(*input, file.role, request.priors))
            record.inputs.push_back(recordedBytes(file.role, "", *text));
    }
    record.settings = settings;
    return record;
}

void fail(PlainRunResult& result, PlainProblemKind kind, std::string text) {
    result.errorKind = kind;
    result.error = std::move(text);
}

}  // namespace

std::string runnerName(std::string_view name) {
    std::string runner(name);
    std::replace(runner.begin(), runner.end(), '_', '-');
    return runner;
}

PlainProblem unknownName(const char* what, const std::string& name, const std::vector<std::string>& settings,
                         const std::vector<std::string>& arguments) {
    std::vector<std::string> names;
    for (const std::string& setting : settings) names.push_back(packageName(setting));
    names.insert(names.end(), arguments.begin(), arguments.end());
    const std::string closest = closestName(name, names);
    return {PlainProblemKind::SettingName,
            "there is no " + std::string(what) + " named \"" + name + "\"" +
                (closest.empty() ? "" : "; the closest valid name is \"" + closest + "\"")};
}

PlainProblem wholeSetting(const std::string& shown, std::string_view value, std::int64_t low, std::int64_t high,
                          std::int64_t& out) {
    std::int64_t whole = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), whole);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() || whole < low || whole > high)
        return {PlainProblemKind::SettingValue, "setting " + shown + ": \"" + std::string(value) +
                                                    "\" is not a whole number from " + std::to_string(low) + " to " +
                                                    std::to_string(high)};
    out = whole;
    return {};
}

PlainProblem plainRunSettings(const std::vector<std::pair<std::string, std::string>>& named,
                              const std::vector<std::string>& arguments, RunSettings& settings) {
    PlainRunRequest request;
    request.argumentNames = arguments;
    // The stop probabilities classify; a run's other own choices mean nothing here.
    for (const auto& [shown, value] : named) {
        const std::string name = runnerName(shown);
        if (findRunSetting(name) == nullptr && !name.starts_with("stop-probabilit"))
            return unknownName("setting", shown, settingNames(false), arguments);
    }
    request.settings = named;
    RunChoices choices;
    return requestSettings(request, settings, &choices);
}

Outcome<ItemPool> loadPlainPool(const PlainInput& pool, const std::vector<double>& priors,
                                const RunSettings& settings) {
    return catchFailure([&] {
        const std::string path = pool.form == PlainInput::Form::Path ? pool.value : settings.poolFile;
        return loadInput(pool, "pool", "Pool", priors, path,
                         [&](const std::vector<std::string>& lines, const std::string& name) {
                             return parsePool(lines, settings, name);
                         });
    });
}

PlainRunResult runPlain(const PlainRunRequest& given) {
    PlainRunResult result;
    try {
        RunSettings settings;
        RunChoices choices;
        if (const PlainProblem problem = requestSettings(given, settings, &choices)) {
            fail(result, problem.kind, problem.text);
            return result;
        }
        std::optional<PlainRunRequest> lined;
        if (const PlainProblem problem = withAnswerLines(given, settings, lined)) {
            fail(result, problem.kind, problem.text);
            return result;
        }
        const PlainRunRequest& request = lined ? *lined : given;
        const std::optional<std::size_t> matrixItems =
            lined ? std::optional<std::size_t>(given.data.answers.columns) : std::nullopt;
        namePaths(request, settings);
        // What the run writes: a table only where the request names its file.
        RunSettings tables = settings;
        tables.saveExposure = settings.saveExposure && !trimSpaces(settings.exposureFile).empty();
        const bool traceWanted = request.trace || !request.tracePath.empty();
        const bool stoppingWanted = request.stopping || settings.useSprt || !request.stoppingPath.empty();
        const bool confusionWanted = request.confusion || !request.confusionPath.empty();
        const bool examineesWanted = request.examinees || !request.examineesPath.empty();
        std::optional<PlainTraceRows> traceRows;
        if (traceWanted) traceRows.emplace(settings.groupCount, choices.traceCandidates);
        // Kept only when asked for: it grows with every examinee and test.
        std::optional<PlainExamineeRows> examineeRows;
        if (request.examinees) examineeRows.emplace(stoppingRules(settings.stopProbabilities));
        RunReportOptions reportOptions;
        reportOptions.traceFile = request.tracePath;
        reportOptions.traceRows = traceRows ? &*traceRows : nullptr;
        reportOptions.traceCandidates = choices.traceCandidates;
        reportOptions.traceExaminees = choices.traceExaminees;
        reportOptions.stoppingFile = request.stoppingPath;
        reportOptions.confusionFile = request.confusionPath;
        reportOptions.examineesFile = request.examineesPath;
        reportOptions.examineeResults = examineeRows ? &*examineeRows : nullptr;
        const bool reportsWanted =
            traceWanted || examineesWanted || !request.stoppingPath.empty() || !request.confusionPath.empty();
        RunReports reports(reportOptions, tables);
        // A report file that could not be kept is refused before anything is loaded, as by the runner.
        if (const std::vector<std::string> problems = reports.unwritableFiles(); !problems.empty()) {
            fail(result, PlainProblemKind::Output, joined(problems));
            return result;
        }
        Outcome<PreparedRun> preparing = prepareRequest(request, settings, tables, matrixItems);
        if (!preparing) {
            fail(result, plainProblemKind(preparing.failure().kind), withLineFeeds(preparing.failure().message));
            return result;
        }
        PreparedRun& prepared = *preparing;
        PlainHost host(request);
        RunOptions runOptions;
        runOptions.threadCount = choices.threads > 0 ? choices.threads : defaultThreadCount();
        result.threads = runOptions.threadCount;
        if (reportsWanted) runOptions.listener = &reports;
        RandomGenerator random(choices.seed);
        result.summary = runPrepared(tables, prepared, random, host, runOptions);
        if (reportsWanted) {
            for (const std::string& message : reports.finish(result.summary)) host.messages.push_back(message);
        }
        result.doneMessage = host.done;
        if (host.cancelRequested) {
            result.cancelled = true;
            return result;
        }
        if (!result.summary.completed) {
            fail(result, PlainProblemKind::Message, joined(host.messages));
            return result;
        }
        // An icol error cuts the replay but the tables cover the tests that ran; any other message
        // of a completed run is a table that could not be written.
        const bool onlyCut = std::all_of(host.messages.begin(), host.messages.end(),
                                         [](const std::string& m) { return m.starts_with("icol error"); });
        if (!onlyCut) {
            fail(result, PlainProblemKind::Message, joined(host.messages));
            return result;
        }
        // The reports describe every test of a run or none, as the runner's do.
        if (result.summary.cancelled && (traceWanted || stoppingWanted || confusionWanted || examineesWanted)) {
            fail(result, PlainProblemKind::Message,
                 host.messages.empty() ? "The run's reports were not written" : joined(host.messages));
            return result;
        }
        result.record = plainRecord(request, tables, choices.seed, result.summary, reports.runFiles());
        if (!tables.resultsFile.empty()) {
            if (const Status written =
                    writeRunRecord(*result.record, runRecordFileBeside(tables.resultsFile), reports.runFiles());
                !written)
                host.messages.push_back(written.failure().message);
        }
        result.warnings = host.messages;
        const RunStatistics& statistics = result.summary.statistics;
        result.results = resultsPlainTable(statistics, settings);
        result.hasExposure = settings.saveExposure;
        if (result.hasExposure) result.exposure = exposurePlainTable(statistics, prepared.inputs.pool);
        result.hasStopping = stoppingWanted;
        if (result.hasStopping) result.stopping = stoppingPlainTable(statistics.stopping);
        result.hasConfusion = confusionWanted;
        if (result.hasConfusion) result.confusion = confusionPlainTable(statistics.confusion);
        result.hasTrace = traceWanted;
        if (result.hasTrace) result.trace = std::move(traceRows->table);
        result.hasExaminees = request.examinees;
        if (result.hasExaminees) result.examinees = std::move(examineeRows->table);
    } catch (const FailureError& error) {
        fail(result, plainProblemKind(error.kind()), error.what());
    } catch (const std::exception& error) {
        fail(result, PlainProblemKind::Message, error.what());
    }
    return result;
}

PlainGenerated generatePlain(const std::vector<std::pair<std::string, std::string>>& options,
                             const std::string& folder) {
    PlainGenerated generated;
    const auto refuse = [&generated](PlainProblem problem) {
        generated.problemKind = problem.kind;
        generated.problem = std::move(problem.text);
        return generated;
    };
    SampleOptions sample;
    bool force = false;
    std::vector<std::string> names = studyGenerateOptionNames();
    names.insert(names.end(), {"seed", "force"});
    for (const auto& [shown, value] : options) {
        const std::string name = runnerName(shown);
        if (name == "seed") {
            // Any 64-bit seed, as generate's --seed.
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), sample.seed);
            if (value.empty() || error != std::errc() || end != value.data() + value.size())
                return refuse({PlainProblemKind::SettingValue, "setting " + shown + ": \"" + value +
                                                                   "\" is not a whole number from 0 to " +
                                                                   std::to_string(UINT64_MAX)});
        } else if (name == "force") {
            if (value != "true" && value != "false")
                return refuse({PlainProblemKind::SettingValue,
                               "setting " + shown + ": \"" + value + "\" is neither true nor false"});
            force = value == "true";
        } else if (std::find(names.begin(), names.end(), name) != names.end()) {
            if (const Status set = setSampleOption(sample, name, value, shown); !set)
                return refuse({PlainProblemKind::SettingValue, set.failure().message});
        } else {
            return refuse(unknownName("option", shown, names, {}));
        }
    }
    if (const Status checked = checkSampleOptions(sample); !checked)
        return refuse({PlainProblemKind::SettingValue, checked.failure().message});
    const SampleFiles files = generateSampleFiles(sample);
    if (const Status written = writeSampleFiles(sample, files, folder, force); !written)
        return refuse({plainProblemKind(written.failure().kind), written.failure().message});
    const std::filesystem::path base(folder);
    generated.pool = (base / samplePoolName).string();
    generated.script = (base / sampleScriptName).string();
    generated.enemies = (base / sampleEnemiesName).string();
    generated.data = (base / sampleResponseName).string();
    return generated;
}

PlainChecked checkPlain(const PlainRunRequest& given) {
    PlainChecked checked;
    try {
        RunSettings settings;
        std::optional<PlainRunRequest> lined;
        PlainProblem problem = requestSettings(given, settings, nullptr);
        if (!problem) problem = withAnswerLines(given, settings, lined);
        if (problem) {
            checked.problemKind = problem.kind;
            checked.problem = problem.text;
            return checked;
        }
        const PlainRunRequest& request = lined ? *lined : given;
        TemporaryFolder folder;
        if (!folder.ok()) {
            checked.problemKind = PlainProblemKind::Message;
            checked.problem = "No temporary folder could be made for the check";
            return checked;
        }
        const std::pair<const PlainInput*, std::string*> inputs[] = {{&request.pool, &settings.poolFile},
                                                                     {&request.data, &settings.responseFile},
                                                                     {&request.script, &settings.scriptFile},
                                                                     {&request.enemies, &settings.enemiesFile}};
        const char* names[] = {"pool", "data", "script", "enemies"};
        for (std::size_t i = 0; i < std::size(inputs); ++i) {
            if (std::string problem = placeInput(*inputs[i].first, names[i], request.priors, folder, *inputs[i].second);
                !problem.empty()) {
                checked.problemKind = PlainProblemKind::Message;
                checked.problem = problem;
                return checked;
            }
        }
        // The checker looks at the tables' files as a run would write them.
        if (settings.resultsFile.empty()) settings.resultsFile = folder.file("results.csv");
        if (settings.exposureFile.empty()) settings.exposureFile = folder.file("exposure.csv");
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
        checked.problemKind = PlainProblemKind::Message;
        checked.problem = error.what();
    }
    return checked;
}

}  // namespace quillon
