#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <map>
#include <optional>

#include "quillon/charts/chart_model.h"
#include "quillon/charts/study_report.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_parts.h"
#include "quillon/engine/setting_names.h"
#include "quillon/study/study.h"
#include "quillon/study_figures/study_figures.h"
#include "study_calibration.h"
#include "study_exposure.h"

namespace quillon {

namespace {

namespace fs = std::filesystem;

// Seed stream 0 feeds the generated data, stream 1 the run's generator.
std::uint64_t replicationSeed(std::uint64_t studySeed, std::int32_t replication, std::uint64_t stream) {
    return splitMix64(splitMix64(studySeed) + 2 * static_cast<std::uint64_t>(replication) + stream);
}

std::string runName(std::size_t condition, std::int32_t replication) {
    return "c" + std::to_string(condition + 1) + "_r" + std::to_string(replication + 1);
}

// Passes a run's messages on, saying which run they come from, and keeps its Done message quiet.
class RunMessages : public RunHost {
public:
    RunMessages(RunHost& host, std::string prefix) : host_(host), prefix_(std::move(prefix)) {}
    void showMessage(const std::string& text) override {
        ++shown;
        host_.showMessage(prefix_ + text);
    }
    void showDone(const std::string&) override {}
    ProgressHandle progressInit(const std::string& caption) override { return host_.progressInit(caption); }
    void progressSet(ProgressHandle handle, const ProgressReport& report) override {
        host_.progressSet(handle, report);
    }
    bool progressIsCancelled(ProgressHandle handle) override { return host_.progressIsCancelled(handle); }
    void progressShutdown(ProgressHandle handle) override { host_.progressShutdown(handle); }
    int shown = 0;

private:
    RunHost& host_;
    std::string prefix_;
};

}  // namespace

std::size_t conditionCount(const Study& study) {
    std::size_t count = 1;
    for (const StudyFactor& factor : study.factors) {
        const std::size_t levels = factor.values.size();
        // Saturates: a wrapped product (256 levels of 8 factors is 0) would look like a small study.
        count = levels != 0 && count > SIZE_MAX / levels ? SIZE_MAX : count * levels;
    }
    return count;
}

std::vector<std::size_t> conditionLevels(const Study& study, std::size_t condition) {
    std::vector<std::size_t> levels(study.factors.size());
    for (std::size_t f = study.factors.size(); f-- > 0;) {
        levels[f] = condition % study.factors[f].values.size();
        condition /= study.factors[f].values.size();
    }
    return levels;
}

std::size_t referenceCondition(const Study& study, std::size_t condition) {
    std::vector<std::size_t> levels = conditionLevels(study, condition);
    std::size_t reference = 0;
    for (std::size_t f = 0; f < study.factors.size(); ++f) {
        if (f < study.referenceLevels.size() && study.referenceLevels[f])
            levels[f] = *study.referenceLevels[f];
        else if (f >= study.referenceLevels.size())
            levels[f] = 0;
        reference = reference * study.factors[f].values.size() + levels[f];
    }
    return reference;
}

std::uint64_t replicationDataSeed(std::uint64_t studySeed, std::int32_t replication) {
    return replicationSeed(studySeed, replication, 0);
}

std::uint32_t replicationRunSeed(std::uint64_t studySeed, std::int32_t replication) {
    return static_cast<std::uint32_t>(replicationSeed(studySeed, replication, 1) >> 32);
}

std::uint64_t calibrationSampleSeed(std::uint64_t dataSeed, std::int64_t size) {
    // Kept apart from the data's own streams by a constant of its own ("calibrat").
    return splitMix64(splitMix64(dataSeed ^ 0x63616c6962726174ULL) + static_cast<std::uint64_t>(size));
}

std::optional<std::int64_t> calibrationSize(const Study& study, std::size_t condition) {
    const std::vector<std::size_t> levels = conditionLevels(study, condition);
    for (std::size_t f = 0; f < study.factors.size(); ++f) {
        if (!study.factors[f].calibrationSize || study.factors[f].values[levels[f]] == truePoolLevel) continue;
        const std::string& value = study.factors[f].values[levels[f]];
        std::int64_t size = 0;
        std::from_chars(value.data(), value.data() + value.size(), size);
        return size;
    }
    return std::nullopt;
}

std::string calibrationFolder(const std::string& dataFolder, std::int64_t size) {
    return (fs::path(dataFolder) / ("calibration_" + std::to_string(size))).string();
}

std::vector<StudyTask> studyTasks(const Study& study, std::int32_t shardsPerRun) {
    std::vector<StudyTask> tasks;
    for (std::size_t c = 0; c < conditionCount(study); ++c)
        for (std::int32_t r = 0; r < study.replications; ++r)
            for (std::int32_t s = 1; s <= shardsPerRun; ++s) tasks.push_back({c, r, s, shardsPerRun});
    return tasks;
}

std::string taskDescription(const Study& study, const StudyTask& task) {
    std::string text = "condition " + std::to_string(task.condition + 1);
    const std::vector<std::size_t> levels = conditionLevels(study, task.condition);
    std::string named;
    for (std::size_t f = 0; f < study.factors.size(); ++f)
        named += (named.empty() ? "" : ", ") + study.factors[f].name + "=" + study.factors[f].written[levels[f]];
    if (!named.empty()) text += " (" + named + ")";
    text += ", replication " + std::to_string(task.replication + 1);
    if (task.shardCount > 1) text += ", shard " + std::to_string(task.shard) + "/" + std::to_string(task.shardCount);
    return text;
}

StudyData studyData(const Study& study, const std::string& workFolder, std::size_t condition,
                    std::int32_t replication) {
    StudyData data;
    // Every value passed its check when the study was read.
    for (const StudyValue& option : study.generateOptions)
        (void)setSampleOption(data.options, option.name, option.value);
    // Data are keyed by the replication and the levels of the factors that vary them alone.
    const std::vector<std::size_t> levels = conditionLevels(study, condition);
    std::size_t key = 0;
    bool varied = false;
    for (std::size_t f = 0; f < study.factors.size(); ++f) {
        if (!study.factors[f].generateOption) continue;
        (void)setSampleOption(data.options, study.factors[f].name, study.factors[f].values[levels[f]]);
        key = key * study.factors[f].values.size() + levels[f];
        varied = true;
    }
    data.options.seed = replicationDataSeed(study.seed, replication);
    data.folder = (fs::path(workFolder) / "data" /
                   ("r" + std::to_string(replication + 1) + (varied ? "_g" + std::to_string(key + 1) : "")))
                      .string();
    return data;
}

StudyRun studyRun(const Study& study, const std::string& workFolder, std::size_t condition, std::int32_t replication) {
    StudyRun run;
    RunSettings& s = run.settings;
    if (study.generated) {
        const fs::path folder = studyData(study, workFolder, condition, replication).folder;
        const std::optional<std::int64_t> size = calibrationSize(study, condition);
        s.poolFile = ((size ? fs::path(calibrationFolder(folder.string(), *size)) : folder) / samplePoolName).string();
        s.scriptFile = (folder / sampleScriptName).string();
        s.enemiesFile = (folder / sampleEnemiesName).string();
        s.responseFile = (folder / sampleResponseName).string();
    } else {
        s.responseFile = study.responseFiles[static_cast<std::size_t>(replication)];
    }
    // Every value passed its check when the study was read.
    for (const StudyValue& setting : study.settings) (void)setStudySetting(s, setting.name, setting.value);
    const std::vector<std::size_t> levels = conditionLevels(study, condition);
    for (std::size_t f = 0; f < study.factors.size(); ++f)
        if (!study.factors[f].generateOption && !study.factors[f].calibrationSize)
            (void)setStudySetting(s, study.factors[f].name, study.factors[f].values[levels[f]]);
    s.resultsFile = (fs::path(workFolder) / "runs" / (runName(condition, replication) + "_results.csv")).string();
    s.exposureFile.clear();
    s.saveExposure = false;
    clearUnreadCosts(s);
    run.seed = replicationRunSeed(study.seed, replication);
    if (std::optional<std::string> calibrated = exposurePoolFor(study, workFolder, s)) {
        run.calibratedFrom = std::move(s.poolFile);
        s.poolFile = std::move(*calibrated);
    }
    return run;
}

std::string taskPartFile(const std::string& workFolder, const StudyTask& task) {
    return (fs::path(workFolder) / "parts" /
            (runName(task.condition, task.replication) + "_s" + std::to_string(task.shard) + "of" +
             std::to_string(task.shardCount) + ".part"))
        .string();
}

Status prepareStudyData(const Study& study, const std::string& workFolder, StudyWatcher* watcher) {
    if (!study.generated) return prepareExposurePools(study, workFolder, watcher);
    std::map<std::string, SampleOptions> sets;  // by folder: one set per replication and data level
    for (std::size_t c = 0; c < conditionCount(study); ++c)
        for (std::int32_t r = 0; r < study.replications; ++r) {
            StudyData data = studyData(study, workFolder, c, r);
            sets.emplace(data.folder, data.options);
        }
    std::size_t set = 0, pool = 0;
    const std::size_t pools = study.calibration ? sets.size() * study.calibration->sizes.size() : 0;
    for (const auto& [folder, options] : sets) {
        ++set;
        // The stamp is written last: a set cut short by a stop is made again on the next start.
        std::string stamp = "seed " + std::to_string(options.seed) + "\n";
        for (const StudyValue& option : study.generateOptions) stamp += option.name + " " + option.value + "\n";
        for (const StudyFactor& factor : study.factors)
            if (factor.generateOption) stamp += factor.name + " varied\n";
        stamp += "items " + std::to_string(options.items) + " collections " + std::to_string(options.collections) +
                 " groups " + std::to_string(options.groups) + " examinees " + std::to_string(options.examinees) +
                 " script-length " + std::to_string(options.scriptLength) + " blank-share " +
                 formatRoundTrip(options.blankShare) + " item-quality " + formatRoundTrip(options.itemQuality) + "\n";
        for (double share : options.groupShares) stamp += "group-share " + formatRoundTrip(share) + "\n";
        const std::string stampFile = (fs::path(folder) / "generated.txt").string();
        std::optional<SampleFiles> files;  // generated once, and only when needed
        if (readWholeFile(stampFile) != stamp) {
            std::error_code error;
            fs::remove(stampFile, error);
            if (watcher != nullptr) watcher->generating(set, sets.size(), options.examinees, options.items);
            files = generateSampleFiles(options);
            if (Status written = writeSampleFiles(options, *files, folder, true); !written) return written;
            if (!replaceFileContents(stampFile, stamp))
                return Failure{FailureKind::Output, "Cannot write " + stampFile + "."};
        }
        if (!study.calibration) continue;
        for (std::int64_t size : study.calibration->sizes) {
            const CalibratedPoolJob job{options, folder, stamp, size, study.calibration->options};
            if (calibratedPoolIsThere(job)) {
                ++pool;
                continue;
            }
            if (watcher != nullptr) watcher->calibrating(++pool, pools, size);
            if (!files) files = generateSampleFiles(options);
            if (Status written = writeCalibratedPool(job, *files); !written) return written;
        }
    }
    // The Sympson–Hetter pools simulate with the data and pools made above.
    return prepareExposurePools(study, workFolder, watcher);
}

bool taskIsDone(const Study& study, const std::string& workFolder, const StudyTask& task) {
    const std::optional<std::string> text = readWholeFile(taskPartFile(workFolder, task));
    if (!text) return false;
    const Outcome<RunPart> part = readRunPartHeader(*text);
    if (!part || part->shard != task.shard || part->shardCount != task.shardCount) return false;
    const StudyRun run = studyRun(study, workFolder, task.condition, task.replication);
    const Outcome<std::string> digest = runDigest(run.settings, run.seed);
    return digest && *digest == part->digest;
}

RunSummary runStudyTask(const Study& study, const std::string& workFolder, const StudyTask& task, RunHost& host,
                        int threads) {
    const StudyRun run = studyRun(study, workFolder, task.condition, task.replication);
    const std::string partFile = taskPartFile(workFolder, task);
    std::error_code error;
    fs::create_directories(fs::path(partFile).parent_path(), error);
    RandomGenerator random(run.seed);
    RunMessages messages(host, "Task " + taskDescription(study, task) + ": ");
    return runShard(run.settings, random, messages, threads, task.shard, task.shardCount, partFile);
}

namespace {

// The number the whole text is, if it is one.
std::optional<double> numberIn(const std::string& text) {
    double number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return number;
}

// The factors as the tables name them; numeric when the setting or option takes numbers.
std::vector<FigureFactor> figureFactors(const Study& study) {
    std::vector<FigureFactor> factors;
    for (const StudyFactor& factor : study.factors) {
        // A text setting stays text even when its levels look like numbers (a pool named "10").
        const NamedSetting* setting = factor.generateOption ? nullptr : findRunSetting(factor.name);
        bool numeric = setting == nullptr || setting->kind != SettingKind::Text;
        for (const std::string& value : factor.values) numeric = numeric && numberIn(value).has_value();
        factors.push_back({figureFactorName(factor.name), numeric});
    }
    return factors;
}

// A condition's levels as the tables write them: numbers in their shortest exact form, so that
// a level is the same text however the file wrote it; texts as written.
std::vector<std::string> figureLevels(const Study& study, const std::vector<FigureFactor>& factors,
                                      std::size_t condition) {
    std::vector<std::string> levels;
    const std::vector<std::size_t> at = conditionLevels(study, condition);
    for (std::size_t f = 0; f < study.factors.size(); ++f) {
        const std::string& value = study.factors[f].values[at[f]];
        levels.push_back(factors[f].numeric ? formatRoundTrip(*numberIn(value)) : study.factors[f].written[at[f]]);
    }
    return levels;
}

}  // namespace

Status writeStudyTables(const Study& study, const std::string& workFolder, std::int32_t shardsPerRun, RunHost& host) {
    const std::vector<StudyTask> tasks = studyTasks(study, shardsPerRun);
    std::string missing;
    std::size_t missingCount = 0;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        if (taskIsDone(study, workFolder, tasks[i])) continue;
        if (++missingCount <= 20)
            missing += "\n  task " + std::to_string(i + 1) + ": " + taskDescription(study, tasks[i]);
    }
    if (missingCount > 0)
        return Failure{FailureKind::Input, std::to_string(missingCount) + " of " + std::to_string(tasks.size()) +
                                               " tasks have not finished:" + missing +
                                               (missingCount > 20 ? "\n  ..." : "")};

    // A study's tables are all of one study or none: an earlier study's stay behind no failure.
    std::error_code error;
    for (std::string_view name : studyOutputNames) fs::remove(fs::path(study.outputFolder) / name, error);

    // The figures come from the parts themselves, merged exactly in memory, one condition at a
    // time: no table is read back.
    const std::vector<FigureFactor> factors = figureFactors(study);
    std::vector<std::size_t> references;
    for (std::size_t c = 0; c < conditionCount(study); ++c) references.push_back(referenceCondition(study, c));
    StudyFiguresBuilder builder(study.name, factors, study.replications, references);
    std::string failed;
    for (std::size_t c = 0; c < conditionCount(study); ++c) {
        std::vector<RunStatistics> statistics;
        for (std::int32_t r = 0; r < study.replications; ++r) {
            const StudyRun run = studyRun(study, workFolder, c, r);
            std::vector<std::string> parts;
            for (std::int32_t s = 1; s <= shardsPerRun; ++s)
                parts.push_back(taskPartFile(workFolder, {c, r, s, shardsPerRun}));
            RandomGenerator random(run.seed);
            const StudyTask whole{c, r, 1, 1};
            RunMessages messages(host, "Run " + taskDescription(study, whole) + ": ");
            RunSummary summary = runMerge(run.settings, random, messages, parts, {false, false});
            if (!summary.completed) {
                failed += "\n  " + taskDescription(study, whole);
            } else if (summary.statistics.testsTaken == 0) {
                failed += "\n  " + taskDescription(study, whole) + ": its data hold no examinee";
            }
            statistics.push_back(std::move(summary.statistics));
        }
        if (!failed.empty()) continue;
        std::vector<StudyRunStatistics> runs;
        for (std::size_t r = 0; r < statistics.size(); ++r)
            runs.push_back({static_cast<std::int32_t>(r + 1), &statistics[r]});
        // The control and R vary by condition alone, never by replication.
        const StudyRun first = studyRun(study, workFolder, c, 0);
        builder.addCondition(figureLevels(study, factors, c), runs, charts::exposureTargetOf(first.settings));
    }
    if (!failed.empty())
        return Failure{FailureKind::Input, "These runs did not complete, so no study table is written:" + failed};

    const StudyFigures figures = builder.figures();
    Outcome<std::string> report = charts::studyReportHtml(figures);
    if (!report) return report.failure();
    fs::create_directories(study.outputFolder, error);
    const std::string texts[] = {builder.resultsText(), builder.outcomesText(), studySummaryText(figures),
                                 studyConditionsText(figures), *report};
    for (std::size_t i = 0; i < studyOutputNames.size(); ++i) {
        const std::string path = (fs::path(study.outputFolder) / studyOutputNames[i]).string();
        if (!replaceFileContents(path, texts[i])) {
            // Half a study is no result: take back what was written.
            for (std::size_t j = 0; j < i; ++j) fs::remove(fs::path(study.outputFolder) / studyOutputNames[j], error);
            return Failure{FailureKind::Output, "Cannot write " + path + ", so no study table is written."};
        }
    }
    return {};
}

std::string studyWorkFolder(const Study& study) { return (fs::path(study.outputFolder) / "work").string(); }

Status runStudyLocally(const Study& study, const std::string& workFolder, std::int32_t shardsPerRun, RunHost& host,
                       StudyWatcher& watcher) {
    const Failure stopped{FailureKind::Cancelled, "The study was stopped; a rerun keeps the finished tasks"};
    shardsPerRun = std::max(shardsPerRun, 1);  // a run is at least one shard
    if (Status refused = refuseStudyOverInputs(study, workFolder); !refused) return refused;
    Outcome<StudyLock> lock = StudyLock::take(study);  // held until the study returns
    if (!lock) return lock.failure();
    if (Status prepared = prepareStudyData(study, workFolder, &watcher); !prepared) return prepared;
    const std::vector<StudyTask> tasks = studyTasks(study, shardsPerRun);
    const auto shards = static_cast<std::size_t>(shardsPerRun);
    // A rerun keeps every part that belongs to the same run and runs only the rest.
    std::vector<bool> done(tasks.size());
    std::size_t toRun = 0;
    for (std::size_t i = 0; i < tasks.size(); ++i) toRun += (done[i] = taskIsDone(study, workFolder, tasks[i])) ? 0 : 1;
    std::size_t runsDone = 0;
    for (std::size_t i = 0; i < tasks.size(); i += shards)
        runsDone += std::all_of(done.begin() + static_cast<std::ptrdiff_t>(i),
                                done.begin() + static_cast<std::ptrdiff_t>(i + shards), [](bool d) { return d; });
    watcher.started(tasks.size() / shards, runsDone, toRun);
    bool allWritten = true;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        if (done[i]) continue;
        if (watcher.stopRequested()) return stopped;
        const RunSummary summary = runStudyTask(study, workFolder, tasks[i], host, static_cast<int>(study.threads));
        allWritten = allWritten && summary.completed;
        bool runDone = true;
        for (std::size_t j = i - static_cast<std::size_t>(tasks[i].shard - 1); j < i; ++j) runDone = runDone && done[j];
        done[i] = summary.completed;
        watcher.taskFinished(runDone && done[i] && tasks[i].shard == tasks[i].shardCount);
    }
    if (watcher.stopRequested()) return stopped;
    if (!allWritten)
        return Failure{FailureKind::Input, "some tasks did not write their part; no study table is written"};
    return writeStudyTables(study, workFolder, shardsPerRun, host);
}

}  // namespace quillon
