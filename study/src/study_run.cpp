#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <optional>

#include "quillon/charts/study_report.h"
#include "quillon/charts/table_reader.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_parts.h"
#include "quillon/engine/setting_names.h"
#include "quillon/study/study.h"

namespace quillon {

namespace {

namespace fs = std::filesystem;

// splitmix64's finaliser: nearby inputs give unrelated outputs.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Seed stream 0 feeds the generated data, stream 1 the run's generator.
std::uint64_t replicationSeed(std::uint64_t studySeed, std::int32_t replication, std::uint64_t stream) {
    return mix(mix(studySeed) + 2 * static_cast<std::uint64_t>(replication) + stream);
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

// Each column of the study tables: the measures of a results table under their plain names.
constexpr std::size_t measureCount = resultsColumnNames.size() - 1;

std::string joinLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) line += (i == 0 ? "" : ",") + fields[i];
    return line + "\r\n";
}

std::vector<std::string> headerStart(const Study& study) {
    std::vector<std::string> header{"condition"};
    for (const StudyFactor& factor : study.factors) header.push_back(poolField(factor.name));
    return header;
}

std::vector<std::string> conditionFields(const Study& study, std::size_t condition) {
    std::vector<std::string> fields{std::to_string(condition + 1)};
    const std::vector<std::size_t> levels = conditionLevels(study, condition);
    for (std::size_t f = 0; f < study.factors.size(); ++f)
        fields.push_back(poolField(study.factors[f].written[levels[f]]));
    return fields;
}

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

std::size_t referenceCondition(const Study& study, std::size_t condition) {
    const std::vector<std::size_t> levels = conditionLevels(study, condition);
    std::size_t reference = 0;
    for (std::size_t f = 0; f < study.factors.size(); ++f) {
        const std::optional<std::size_t> level =
            f < study.referenceLevels.size() ? study.referenceLevels[f] : std::optional<std::size_t>(0);
        reference = reference * study.factors[f].values.size() + level.value_or(levels[f]);
    }
    return reference;
}

std::vector<std::size_t> conditionLevels(const Study& study, std::size_t condition) {
    std::vector<std::size_t> levels(study.factors.size());
    for (std::size_t f = study.factors.size(); f-- > 0;) {
        levels[f] = condition % study.factors[f].values.size();
        condition /= study.factors[f].values.size();
    }
    return levels;
}

std::uint64_t replicationDataSeed(std::uint64_t studySeed, std::int32_t replication) {
    return replicationSeed(studySeed, replication, 0);
}

std::uint32_t replicationRunSeed(std::uint64_t studySeed, std::int32_t replication) {
    return static_cast<std::uint32_t>(replicationSeed(studySeed, replication, 1) >> 32);
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
        s.poolFile = (folder / samplePoolName).string();
        s.scriptFile = (folder / sampleScriptName).string();
        s.enemiesFile = (folder / sampleEnemiesName).string();
        s.responseFile = (folder / sampleResponseName).string();
    } else {
        s.responseFile = study.responseFiles[static_cast<std::size_t>(replication)];
    }
    // Every value passed its check when the study was read.
    for (const StudyValue& setting : study.settings) (void)setRunSetting(s, setting.name, setting.value);
    const std::vector<std::size_t> levels = conditionLevels(study, condition);
    for (std::size_t f = 0; f < study.factors.size(); ++f)
        if (!study.factors[f].generateOption)
            (void)setRunSetting(s, study.factors[f].name, study.factors[f].values[levels[f]]);
    s.resultsFile = (fs::path(workFolder) / "runs" / (runName(condition, replication) + "_results.csv")).string();
    s.exposureFile.clear();
    s.saveExposure = false;
    clearUnreadCosts(s);
    run.seed = replicationRunSeed(study.seed, replication);
    return run;
}

std::string taskPartFile(const std::string& workFolder, const StudyTask& task) {
    return (fs::path(workFolder) / "parts" /
            (runName(task.condition, task.replication) + "_s" + std::to_string(task.shard) + "of" +
             std::to_string(task.shardCount) + ".part"))
        .string();
}

Status prepareStudyData(const Study& study, const std::string& workFolder, StudyWatcher* watcher) {
    if (!study.generated) return {};
    std::map<std::string, SampleOptions> sets;  // by folder: one set per replication and data level
    for (std::size_t c = 0; c < conditionCount(study); ++c)
        for (std::int32_t r = 0; r < study.replications; ++r) {
            StudyData data = studyData(study, workFolder, c, r);
            sets.emplace(data.folder, data.options);
        }
    std::size_t set = 0;
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
        if (readWholeFile(stampFile) == stamp) continue;
        std::error_code error;
        fs::remove(stampFile, error);
        if (watcher != nullptr) watcher->generating(set, sets.size(), options.examinees, options.items);
        if (Status written = writeSampleFiles(options, generateSampleFiles(options), folder, true); !written)
            return written;
        if (!replaceFileContents(stampFile, stamp))
            return Failure{FailureKind::Output, "Cannot write " + stampFile + "."};
    }
    return {};
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

std::vector<std::vector<std::string>> resultsTableFields(const std::string& tableText) {
    // Field positions of the 13 columns; 5 and 10 are the table's blank separators.
    static constexpr std::size_t positions[] = {0, 1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14};
    std::vector<std::vector<std::string>> rows;
    std::size_t start = tableText.find('\n');  // the header
    while (start != std::string::npos && start + 1 < tableText.size()) {
        const std::size_t end = tableText.find('\n', start + 1);
        std::string line = tableText.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end;
        if (line.empty()) continue;
        std::vector<std::string> fields;
        for (std::size_t from = 0;;) {
            const std::size_t comma = line.find(',', from);
            fields.push_back(line.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
            if (comma == std::string::npos) break;
            from = comma + 1;
        }
        std::vector<std::string> row;
        for (std::size_t p : positions) row.push_back(p < fields.size() ? fields[p] : std::string());
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string studyResultsText(const Study& study, const std::vector<std::vector<std::string>>& tables) {
    std::vector<std::string> header = headerStart(study);
    header.push_back("replication");
    for (std::string_view name : resultsColumnNames) header.emplace_back(name);
    std::string text = joinLine(header);
    for (std::size_t c = 0; c < tables.size(); ++c) {
        for (std::size_t r = 0; r < tables[c].size(); ++r) {
            for (const std::vector<std::string>& row : resultsTableFields(tables[c][r])) {
                std::vector<std::string> fields = conditionFields(study, c);
                fields.push_back(std::to_string(r + 1));
                fields.insert(fields.end(), row.begin(), row.end());
                text += joinLine(fields);
            }
        }
    }
    return text;
}

std::string studySummaryText(const Study& study, const std::vector<std::vector<std::string>>& tables) {
    std::vector<std::string> header = headerStart(study);
    header.push_back("length");
    header.push_back("replications");
    for (std::size_t m = 1; m <= measureCount; ++m) {
        header.push_back(std::string(resultsColumnNames[m]) + "_mean");
        header.push_back(std::string(resultsColumnNames[m]) + "_sd");
    }
    std::string text = joinLine(header);
    for (std::size_t c = 0; c < tables.size(); ++c) {
        // By length, in the order the tables give them: each replication's row at that length.
        std::vector<std::string> order;
        std::map<std::string, std::vector<std::vector<std::string>>> byLength;
        for (const std::string& table : tables[c]) {
            for (std::vector<std::string>& row : resultsTableFields(table)) {
                if (!byLength.count(row[0])) order.push_back(row[0]);
                byLength[row[0]].push_back(std::move(row));
            }
        }
        for (const std::string& length : order) {
            const std::vector<std::vector<std::string>>& rows = byLength[length];
            std::vector<std::string> fields = conditionFields(study, c);
            fields.push_back(length);
            fields.push_back(std::to_string(rows.size()));
            for (std::size_t m = 1; m <= measureCount; ++m) {
                std::vector<double> values;
                for (const std::vector<std::string>& row : rows) {
                    if (row[m].empty()) break;
                    values.push_back(readNumber(row[m]));
                }
                if (values.size() != rows.size()) {
                    fields.insert(fields.end(), {"", ""});
                    continue;
                }
                double sum = 0.0;
                for (double v : values) sum += v;
                const double mean = sum / static_cast<double>(values.size());
                double squares = 0.0;
                for (double v : values) squares += (v - mean) * (v - mean);
                fields.push_back(formatRoundTrip(mean));
                fields.push_back(values.size() < 2
                                     ? std::string()
                                     : formatRoundTrip(std::sqrt(squares / static_cast<double>(values.size() - 1))));
            }
            text += joinLine(fields);
        }
    }
    return text;
}

Status writeStudyTables(const Study& study, const std::string& workFolder, std::int32_t shardsPerRun, RunHost& host) {
    const auto refused = [](FailureKind kind, std::string message) { return Failure{kind, std::move(message)}; };
    const std::vector<StudyTask> tasks = studyTasks(study, shardsPerRun);
    std::string missing;
    std::size_t missingCount = 0;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        if (taskIsDone(study, workFolder, tasks[i])) continue;
        if (++missingCount <= 20)
            missing += "\n  task " + std::to_string(i + 1) + ": " + taskDescription(study, tasks[i]);
    }
    if (missingCount > 0)
        return refused(FailureKind::Input, std::to_string(missingCount) + " of " + std::to_string(tasks.size()) +
                                               " tasks have not finished:" + missing +
                                               (missingCount > 20 ? "\n  ..." : ""));

    std::error_code error;
    fs::create_directories(fs::path(workFolder) / "runs", error);
    std::vector<std::vector<std::string>> tables(conditionCount(study));
    std::string failed;
    for (std::size_t c = 0; c < tables.size(); ++c) {
        for (std::int32_t r = 0; r < study.replications; ++r) {
            const StudyRun run = studyRun(study, workFolder, c, r);
            std::vector<std::string> parts;
            for (std::int32_t s = 1; s <= shardsPerRun; ++s)
                parts.push_back(taskPartFile(workFolder, {c, r, s, shardsPerRun}));
            RandomGenerator random(run.seed);
            const StudyTask whole{c, r, 1, 1};
            RunMessages messages(host, "Run " + taskDescription(study, whole) + ": ");
            const RunSummary summary = runMerge(run.settings, random, messages, parts);
            std::optional<std::string> table;
            if (summary.completed) table = readWholeFile(run.settings.resultsFile);
            if (!table) {
                failed += "\n  " + taskDescription(study, whole);
                continue;
            }
            tables[c].push_back(std::move(*table));
        }
    }
    if (!failed.empty())
        return refused(FailureKind::Input, "These runs did not complete, so no study table is written:" + failed);

    fs::create_directories(study.outputFolder, error);
    const std::string summary = studySummaryText(study, tables);
    std::string report;
    try {
        report = charts::studyReportHtml(summary, study.name);
    } catch (const charts::StudySummaryError& refusal) {
        return refused(FailureKind::Input, std::string("The study report cannot be made: ") + refusal.what());
    }
    const std::pair<const char*, std::string> outputs[] = {
        {"study_results.csv", studyResultsText(study, tables)},
        {"study_summary.csv", summary},
        {"study_report.html", report},
    };
    for (const auto& [name, content] : outputs) {
        const std::string path = (fs::path(study.outputFolder) / name).string();
        if (!replaceFileContents(path, content)) return refused(FailureKind::Output, "Cannot write " + path + ".");
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
