#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/calibration/calibration.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/sample_data.h"
#include "quillon/engine/simulation.h"
#include "quillon/outcome/outcome.h"
#include "quillon/study_figures/study_figures.h"

namespace quillon {

/// One named value of a study file: the key, its value as text for `setRunSetting` or the sample
/// options, and where it stands, for messages.
struct StudyValue {
    std::string name;
    std::string value;
    std::int64_t line = 0;
};

/// A varied setting: its levels as written in the study file and as the text its setting takes.
struct StudyFactor {
    std::string name;
    bool generateOption = false;   // varies the generated data, not a run setting
    bool calibrationSize = false;  // the calibration sample's size: the pool the runs read
    std::vector<std::string> written;
    std::vector<std::string> values;
    std::int64_t line = 0;
};

/// The longest time `task-seconds` may ask one array task to last: a week.
inline constexpr std::int64_t maxClusterTaskSeconds = 7 * 24 * 3600;

/// The [cluster] table: what a plan's batch scripts ask Slurm for, and how long one array task
/// should last. An empty text is not asked for.
struct StudyCluster {
    std::string partition, account, time, memory;
    std::vector<std::string> extra;  // further #SBATCH options, each "--name" or "--name=value"
    std::int64_t taskSeconds = 300;  // 0: one study task per array task
};

/// The keys of [cluster] (and of `--sbatch KEY=VALUE`).
const std::vector<std::string>& studyClusterKeys();

/// Sets one [cluster] key from its text, `extra` adding one option; a Usage failure says why the
/// value cannot go into a batch script (a line break, an option not written as --name=value).
Status setClusterOption(StudyCluster& cluster, const std::string& key, const std::string& value);
/// The most runs (conditions x replications) a study may have unless `[study] max-runs` says
/// otherwise: a design past it is far more likely a slip than a plan, and would run for days.
inline constexpr std::int64_t defaultMaxStudyRuns = 100000;

/// The factor `[data.calibrate]` adds, under the study's name of it (its level for the generated
/// pool itself is `truePoolLevel`, the one every calibration size is compared to by default).
inline constexpr const char* calibrationFactorName = "calibration-examinees";

/// The largest calibration sample a study may draw, and the most answers (examinees x items) one
/// may hold: a sample is held in memory while its pool is estimated.
inline constexpr std::int64_t maxCalibrationExaminees = 1000000;
inline constexpr std::int64_t maxCalibrationAnswers = 100000000;

/// `[data.calibrate]`: per replication and size, a pool estimated from a calibration sample drawn
/// from the generated (true) pool, which the runs of that size read instead of the true pool.
struct StudyCalibration {
    std::vector<std::int64_t> sizes;  // the calibration factor's levels after the true pool
    CalibrationOptions options;       // known groups: the prior, min-answers, drop-thin
    std::int64_t line = 0;            // where the sizes stand, for messages
};

/// A study as read from its file: the design, every path made absolute.
struct Study {
    std::string file;
    std::string name;
    std::uint64_t seed = 1;
    std::int32_t replications = 1;
    std::string outputFolder;
    unsigned threads = 1;
    StudyCluster cluster;
    std::vector<StudyValue> settings;        // fixed run settings, in file order
    std::vector<StudyFactor> factors;        // in file order; the first varies slowest
    std::vector<std::string> responseFiles;  // one per replication, when the data are given
    bool generated = false;
    std::vector<StudyValue> generateOptions;      // fixed options of the generated data
    std::optional<StudyCalibration> calibration;  // with generated data only
    // Per factor, the level of the condition each condition's paired differences are taken to;
    // nullopt: the condition's own level. Without `reference` every entry is 0 (condition 1), but
    // with `[data.calibrate]`: then each condition is compared to itself with the true pool.
    std::vector<std::optional<std::size_t>> referenceLevels;
    std::int64_t maxRuns = defaultMaxStudyRuns;  // conditions x replications it may have
};

/// Reads and checks a study file; an Input failure says what is wrong, naming the file, the line
/// and the key.
Outcome<Study> readStudy(const std::string& path);

/// The study's name of the run's stop probabilities: one number or an array of them.
inline constexpr const char* stopProbabilityName = "stop-probability";

/// Sets one setting of a study's runs from its text: a named run setting, or the stop
/// probabilities, comma-separated; a Usage failure says why not.
Status setStudySetting(RunSettings& settings, const std::string& name, const std::string& value);
/// Whether a run setting names an input file: relative to the study file, it must exist, and no
/// study output may replace it.
bool isStudyFileSetting(std::string_view name);

/// The generate options a study's data may set or vary, under generate's option names.
const std::vector<std::string>& studyGenerateOptionNames();

/// Sets one generate option from its text; a Usage failure says why not, naming the option
/// `shownName` (by default `name`), the name the caller knows it by.
Status setSampleOption(SampleOptions& options, const std::string& name, const std::string& value,
                       const std::string& shownName = {});

/// Conditions: the full cross product of the factors' levels (one condition without factors);
/// a product past what a size_t holds is given as its largest value, never wrapped.
std::size_t conditionCount(const Study& study);

/// The 0-based condition whose runs the paired differences of `condition` are taken to.
std::size_t referenceCondition(const Study& study, std::size_t condition);

/// The level of each factor in a 0-based condition; the last factor varies fastest.
std::vector<std::size_t> conditionLevels(const Study& study, std::size_t condition);

/// The seeds of replication `replication` (0-based): a function of the study seed and the
/// replication alone, so every condition of a replication sees the same examinees.
std::uint64_t replicationDataSeed(std::uint64_t studySeed, std::int32_t replication);
std::uint32_t replicationRunSeed(std::uint64_t studySeed, std::int32_t replication);

/// One shard of one run: condition and replication 0-based, shard 1-based.
struct StudyTask {
    std::size_t condition = 0;
    std::int32_t replication = 0;
    std::int32_t shard = 1, shardCount = 1;
};

/// Every task of the study, condition by condition, then replication, then shard.
std::vector<StudyTask> studyTasks(const Study& study, std::int32_t shardsPerRun);

/// What a task is, in words, for task lists and messages.
std::string taskDescription(const Study& study, const StudyTask& task);

/// The generated data one run reads: its folder under the work folder and its options.
struct StudyData {
    std::string folder;
    SampleOptions options;
};

/// The data a run of `condition` in `replication` reads, when the study generates them.
StudyData studyData(const Study& study, const std::string& workFolder, std::size_t condition, std::int32_t replication);

/// The calibration sample size of `condition`; none for the true pool, or without `[data.calibrate]`.
std::optional<std::int64_t> calibrationSize(const Study& study, std::size_t condition);

/// The seed of the calibration sample of `size` examinees drawn for the data of `dataSeed`: a
/// function of the two alone, so every condition of a replication is calibrated from the same
/// sample of a size, and each size has a sample of its own.
std::uint64_t calibrationSampleSeed(std::uint64_t dataSeed, std::int64_t size);

/// A calibration sample of `size` examinees drawn from the generated pool `files` exactly as the
/// data's examinees are (same priors, probabilities and blank share), from `seed`; read as pilot
/// answers, so a blank is an item not administered.
Outcome<ObservedAnswers> calibrationSample(const SampleOptions& options, const SampleFiles& files, std::int64_t size,
                                           std::uint64_t seed);

/// The folder of a data set's pool calibrated from a sample of `size` examinees; the pool file
/// in it has the sample name of a pool.
std::string calibrationFolder(const std::string& dataFolder, std::int64_t size);

/// The settings and generator seed of one run; its tables go into the work folder.
struct StudyRun {
    RunSettings settings;
    std::uint32_t seed = 0;
    // The pool a Sympson–Hetter run's calibrated pool (its poolFile) is made from; empty otherwise.
    std::string calibratedFrom;
};

/// The run of `condition` in `replication`: defaults, then the fixed settings, then the
/// condition's levels, then the data files; a Sympson–Hetter run whose pool has no parameters
/// reads the pool the study calibrates for it.
StudyRun studyRun(const Study& study, const std::string& workFolder, std::size_t condition, std::int32_t replication);

/// The part file a task writes.
std::string taskPartFile(const std::string& workFolder, const StudyTask& task);

class StudyWatcher;

/// Generates every data set the study's runs read that is not there yet, with
/// `[data.calibrate]` every calibrated pool, and every Sympson–Hetter pool its runs need; an
/// Output failure says what could not be written, an Input failure which sample or pool could not
/// be calibrated and why. A set or pool is only taken as
/// there once all its files are written. The watcher, when given, hears of each before it is made.
Status prepareStudyData(const Study& study, const std::string& workFolder, StudyWatcher* watcher = nullptr);

/// True when the task's part is there and belongs to this very run (its digest matches).
bool taskIsDone(const Study& study, const std::string& workFolder, const StudyTask& task);

/// Runs one task with `threads` threads and writes its part; messages go through `host`.
RunSummary runStudyTask(const Study& study, const std::string& workFolder, const StudyTask& task, RunHost& host,
                        int threads);

/// Merges every run from its parts, in memory, and writes the study's tables and report into its
/// output folder, all of them or none; the failure says what is missing or failed (every
/// unfinished task is named).
Status writeStudyTables(const Study& study, const std::string& workFolder, std::int32_t shardsPerRun, RunHost& host);

/// The work folder of a study run on this machine: "work" in its output folder.
std::string studyWorkFolder(const Study& study);

/// Follows a study run on this machine; every call comes between tasks, on the calling thread.
class StudyWatcher {
public:
    virtual ~StudyWatcher() = default;

    /// The runs of the study, those already done by an earlier start, and the tasks left to run.
    virtual void started(std::size_t /*runs*/, std::size_t /*runsDone*/, std::size_t /*tasksToRun*/) {}

    /// One task is over; `runDone` when it completed the last part of its run.
    virtual void taskFinished(bool /*runDone*/) {}

    /// True ends the study before its next task; the parts written so far stay for a rerun.
    virtual bool stopRequested() { return false; }

    /// Data set `set` (1-based) of `sets` is being generated: `examinees` examinees of `items`
    /// items. Large sets take long, and no task runs before they are all there.
    virtual void generating(std::size_t /*set*/, std::size_t /*sets*/, std::int64_t /*examinees*/,
                            std::int32_t /*items*/) {}

    /// Pool `pool` (1-based) of `pools` is being calibrated from a sample of `examinees`.
    virtual void calibrating(std::size_t /*pool*/, std::size_t /*pools*/, std::int64_t /*examinees*/) {}

    /// Sympson–Hetter parameters for pool `pool` (1-based) of `pools` are being sought at the
    /// target rate `maxExposure`, by repeated simulation.
    virtual void calibratingExposure(std::size_t /*pool*/, std::size_t /*pools*/, double /*maxExposure*/) {}
};

/// Refuses, before anything is written, a study whose outputs (its tables, its report, its lock)
/// or work files (everything in `workFolder`) would replace one of its inputs (the study file,
/// the pool, script, enemies and response files); the Output failure names both files.
Status refuseStudyOverInputs(const Study& study, const std::string& workFolder);

/// Holds a study's output folder for as long as it lives, so that a second study writing into the
/// same folder is refused instead of mixing its files with this one's.
class StudyLock {
public:
    StudyLock() = default;
    StudyLock(StudyLock&& other) noexcept;
    StudyLock& operator=(StudyLock&& other) noexcept;
    StudyLock(const StudyLock&) = delete;
    StudyLock& operator=(const StudyLock&) = delete;
    ~StudyLock();

    /// Locks the output folder of `study` (making it when missing); an Output failure names the
    /// study file and process that hold it, or why the lock file cannot be made.
    static Outcome<StudyLock> take(const Study& study);

private:
    int descriptor_ = -1;
    std::string path_;
};

/// The lock file in a study's output folder: there while a study runs or merges into the folder,
/// it names the study file and process holding it.
std::string studyLockFile(const Study& study);

/// Runs a study on this machine: its data, every task not done yet (one at a time with the study's
/// threads) and then its tables, refusing a study that would write over its inputs and holding
/// its output folder's lock throughout; the failure says what failed, Cancelled when the watcher
/// stopped it.
Status runStudyLocally(const Study& study, const std::string& workFolder, std::int32_t shardsPerRun, RunHost& host,
                       StudyWatcher& watcher);

}  // namespace quillon
