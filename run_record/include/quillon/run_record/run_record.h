#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/run_settings.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// One file a run read or wrote, as it was when the run ended: enough to tell later whether a file
/// with that name is still the same one.
struct RecordedFile {
    std::string role;  // "pool", "data", "results", "stopping", ... as runFiles names them
    std::string path;  // as given; empty for an input handed over in memory
    std::int64_t bytes = 0;
    std::string digest;  // FNV-1a of the bytes, 16 lowercase hex digits

    bool operator==(const RecordedFile&) const = default;
};

/// What made a run: its settings and seed, the files it read and wrote, how many examinees and
/// tests it replayed, and which program ran it when and how.
struct RunRecord {
    RunSettings settings;
    std::uint32_t seed = 0;
    std::vector<RecordedFile> inputs;
    std::vector<RecordedFile> outputs;
    std::int64_t examinees = 0;
    std::int64_t tests = 0;  // tests taken: the denominators of the run's tables
    std::string programVersion;
    std::string date;                      // UTC, ISO 8601 ("2026-12-07T21:47:08Z")
    std::vector<std::string> commandLine;  // the arguments as given; empty for a run not started from one
};

/// The record's file beside a results table: NAME_run.json for NAME.csv.
std::string runRecordFileBeside(const std::string& resultsFile);

/// The file's size and digest under `role`; nothing when it cannot be read.
std::optional<RecordedFile> recordedFile(const std::string& role, const std::string& path);

/// The size and digest of bytes held in memory (an input given as text), under `role` and `path`.
RecordedFile recordedBytes(const std::string& role, const std::string& path, std::string_view bytes);

/// Every file of `files` with a name, recorded; those that cannot be read are left out.
std::vector<RecordedFile> recordedFiles(const std::vector<RoleFile>& files);

/// Whether two records of a file give the same contents (size and digest), whatever their names.
bool sameContents(const RecordedFile& a, const RecordedFile& b);

/// Why replaying `record` would not read what the run read: a file its settings name (runInputFiles)
/// is not among the recorded inputs, was given in memory, or is missing, unreadable or changed
/// since; empty when every one is as recorded. The message names the file.
std::string replayInputRefusal(const RunRecord& record);

/// Records a run's files as runFiles (run_reports) lists them: its inputs, its results and exposure
/// tables, and its reports (trace, stopping, confusion, examinees) only with `reportsWritten`, since
/// a run that did not write them leaves older files under those names. Unnamed or unreadable files
/// are left out.
void recordRunFiles(RunRecord& record, const std::vector<RoleFile>& runFiles, bool reportsWritten);

/// The current time in UTC as ISO 8601 to the second.
std::string utcTimestamp();

/// A record of a run that has just ended, dated now and naming this program's version.
RunRecord newRunRecord(const RunSettings& settings, std::uint32_t seed, std::int64_t examinees, std::int64_t tests,
                       std::vector<std::string> commandLine = {});

/// The record as JSON: keys in a fixed order, indented, ending with a line end.
std::string runRecordJson(const RunRecord& record);

/// Reads a record from its JSON text; an Input failure names `fileName` and says what is wrong (not
/// JSON, a key missing, unknown or of the wrong type, a setting's value refused).
Outcome<RunRecord> parseRunRecord(std::string_view text, const std::string& fileName);

/// `parseRunRecord` of a file; an Input failure when it cannot be read.
Outcome<RunRecord> readRunRecord(const std::string& path);

/// Writes the record to `path` whole or not at all, unless `path` is one of `runFiles` (the run's
/// inputs and outputs): then nothing is written and the Output failure says why. An Output failure
/// too when the file cannot be written.
Status writeRunRecord(const RunRecord& record, const std::string& path, const std::vector<RoleFile>& runFiles);

/// The record's settings and inputs as (name, value) text, in a fixed order, for showing and
/// comparing runs: every setting under its runner's name, "stop-probability", "seed", and each
/// input as "ROLE file" (path) and "ROLE digest".
std::vector<std::pair<std::string, std::string>> recordValues(const RunRecord& record);

/// The recorded output of `role`, or nullptr.
const RecordedFile* recordedOutput(const RunRecord& record, std::string_view role);

}  // namespace quillon
