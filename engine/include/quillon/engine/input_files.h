#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/engine/load_diagnostics.h"
#include "quillon/engine/run_limits.h"
#include "quillon/engine/run_settings.h"
#include "quillon/outcome/outcome.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"

namespace quillon {

/// A loading failure a user can cause: the Input kind of `FailureError`, its text the message the
/// user sees.
class InputError : public FailureError {
public:
    explicit InputError(std::string message) : FailureError(FailureKind::Input, std::move(message)) {}
};

/// The loaded item pool; items are addressed by pool position 1 to `itemCount`.
struct ItemPool {
    std::int32_t itemCount = 0;
    std::int32_t groupCount = 0;
    std::vector<std::string> itemId;           // [position - 1]
    std::vector<std::int32_t> itemCollection;  // [position - 1]
    std::vector<double> pCorrect;              // [(position - 1) * groupCount + group - 1]
    std::vector<double> groupPrior;            // [group - 1]; all 0 without a "P_Grp" row
    std::string calibrationRow;
    std::vector<std::int32_t> collectionDeck;
    // Sympson–Hetter parameters from the "Exposure_K" column, [position - 1]; empty without one.
    std::vector<double> exposureParameter;

    /// The probabilities of one item, one per group, starting with group 1.
    const double* itemRow(std::int32_t position) const {
        return pCorrect.data() + static_cast<std::size_t>(position - 1) * static_cast<std::size_t>(groupCount);
    }
};

/// One position of a scripted test: where its item comes from and how many best items compete.
struct ScriptSlot {
    std::int32_t slotCollection = 0;
    std::int32_t slotFactor = 0;
};

/// The script: slot k governs position k of every test.
struct Script {
    std::vector<ScriptSlot> slots;
};

/// Items that must not share a test, as pool positions (0: an identifier not in the pool).
struct EnemySet {
    std::vector<std::int32_t> positions;
};

/// One examinee's line of the response file.
struct ResponseRecord {
    std::string answers;
    std::int32_t trueGroup = 1;

    /// The score of the answer to the item at a pool position: 1 right, 0 wrong or missing,
    /// and a digit's own value for "2" to "9".
    std::int32_t answerValue(std::int32_t position) const {
        if (position < 1 || static_cast<std::size_t>(position) > answers.size()) return 0;
        const char c = answers[static_cast<std::size_t>(position - 1)];
        return (c >= '0' && c <= '9') ? c - '0' : 0;
    }
};

/// Everything a run loads before it replays the examinees.
struct InputFiles {
    ItemPool pool;
    Script script;
    std::vector<EnemySet> enemySets;
};

/// The message for a file whose reader stopped early: "KIND file NAME ..." with the reason.
std::string readProblemMessage(std::string_view kind, const std::string& name, const LineReader& reader);

/// One item row of a pool file (line 4 on) as its parse read it, kept or dropped.
struct PoolRow {
    std::int64_t line = 0;
    std::string id;
    std::int64_t idColumn = 1;
    std::int32_t collection = 0;
    std::int64_t collectionColumn = 1;
    bool dropped = false;
    bool blank = false;                 // an empty line, read as an item all the same
    std::vector<double> probabilities;  // one per group when each is a probability, else empty
};

/// What a diagnosed pool parse learns besides the pool; filled even when the pool is refused.
struct PoolReading {
    std::vector<PoolRow> rows;
    bool hasPriorRow = false;
    std::vector<double> priors;      // one per group, 0 without a P_Grp row
    std::vector<std::int32_t> deck;  // empty when the pool is refused before its deck is made
};

/// Builds the pool from a pool file's lines; `name` is used in messages. Refuses a pool with no
/// item, one with fewer probability columns than groups, and one without priors when they are used.
/// With `diagnostics`, every problem of a line is reported too, refusals included; with `reading`,
/// the rows are kept for rules that look across files.
ItemPool parsePool(const std::vector<std::string>& lines, const RunSettings& settings, const std::string& name,
                   LoadDiagnostics* diagnostics = nullptr, PoolReading* reading = nullptr);

/// Builds the pool from a pool file's bytes.
ItemPool parsePool(std::string_view bytes, const RunSettings& settings, const std::string& name);

/// One identifier an enemy set names, where it stands, and its pool position (0: not in the pool).
struct EnemyName {
    std::string id;
    std::int64_t column = 1;
    std::int32_t position = 0;
};

/// One enemy set as its parse read it: the identifiers its count covers, column C first.
struct EnemyRow {
    std::int64_t line = 0;
    std::vector<EnemyName> names;
};

/// Builds the enemy sets from an enemies file's lines, matching identifiers against the pool. With
/// `diagnostics`, every problem of a line is reported too; with `rows`, the named identifiers are kept.
std::vector<EnemySet> parseEnemies(const std::vector<std::string>& lines, const ItemPool& pool, const std::string& name,
                                   LoadDiagnostics* diagnostics = nullptr, std::vector<EnemyRow>* rows = nullptr);

/// Builds the enemy sets from an enemies file's bytes.
std::vector<EnemySet> parseEnemies(std::string_view bytes, const ItemPool& pool, const std::string& name);

/// Builds the script from a script file's lines; slot k is on line k + 1. With `diagnostics`,
/// every problem of a line is reported too.
Script parseScript(const std::vector<std::string>& lines, const RunSettings& settings, const std::string& name,
                   LoadDiagnostics* diagnostics = nullptr);

/// Builds the script from a script file's bytes.
Script parseScript(std::string_view bytes, const RunSettings& settings, const std::string& name);

/// A whole file as bytes (for tables read back); nothing when it cannot be read or is larger
/// than `maxBytes`, so an endless device cannot fill the memory.
std::optional<std::string> readWholeFile(const std::string& path, std::size_t maxBytes = std::size_t{1} << 30);

/// A file's size in bytes and its FNV-1a digest (16 hex digits).
struct FileDigest {
    std::int64_t bytes = 0;
    std::string digest;
};

/// The size and digest of a file, read in pieces so that no size is too large; nothing when it
/// cannot be read.
std::optional<FileDigest> digestFile(const std::string& path);

/// Every line of an input file, read with the line limit applied as it goes; throws `InputError`
/// with the load's message ("KIND file NAME is not available." and the like).
std::vector<std::string> readInputLines(const std::string& path, const char* kind);

/// The examinee's identifier in a response line: characters 1 to 11, without the blanks around it.
std::string responseLineId(std::string_view line);

/// What a response line is held against when its diagnostics are wanted.
struct ResponseLineCheck {
    LoadDiagnostics* diagnostics = nullptr;
    std::string file;
    std::int64_t line = 0;  // of the line being parsed
    std::int32_t groupCount = 0;
    std::size_t items = 0;                        // kept pool items
    bool poolRead = false;                        // without a pool, only too few answers can be told
    std::vector<std::int64_t>* blanks = nullptr;  // when given (one per item), blank answers are counted
};

/// Turns one line of the response file into a record (group from character 12, answers from 14).
/// With `check`, the line's problems are reported too; the replay passes none and pays nothing.
ResponseRecord parseResponseLine(std::string_view line, const ResponseLineCheck* check = nullptr);

/// True when two names lead to one file, whether or not it exists yet: writing one would replace the other.
bool namesOneFile(const std::string& a, const std::string& b);

/// True when `name` leads to `folder` itself or to a place inside it, whether or not either exists
/// yet (as namesOneFile resolves them): writing into the folder could replace it.
bool liesWithin(const std::string& name, const std::string& folder);

/// One file of a run and what messages call it ("pool", "results", "part").
struct RoleFile {
    std::string role;
    std::string path;
};

/// The files a run reads: the pool and the data, then the script and the enemies when the settings use them.
std::vector<RoleFile> runInputFiles(const RunSettings& settings);

/// For an output `path` that names one file with any of `others` (see namesOneFile), the message
/// "KIND file NAME is also the ROLE file; choose another name for the WHAT." of the first such;
/// empty when it names none (or is empty).
std::string sameFileRefusal(std::string_view kind, const std::string& path, std::string_view what,
                            const std::vector<RoleFile>& others);

/// For outputs that may not replace files without --force: "Nothing written: A, B already exist. Use
/// --force to replace them, or INSTEAD." naming those that exist (a link counts as the file it
/// stands for); empty when none does.
std::string existingOutputsRefusal(const std::vector<std::string>& paths, std::string_view instead);

/// Refuses a results or exposure file (the latter with `saveExposure`) that is one of the run's
/// input files or the other table; throws `InputError`. An empty name is no file.
void refuseTablesOverInputs(const RunSettings& settings);

/// Proves that the results file can be written without emptying it (it is created when
/// missing); throws `InputError`.
void proveResultsWritable(const RunSettings& settings);

/// Loads the pool, the enemies (with `blockEnemies`) and the script (with `followScript`), then
/// `refuseTablesOverInputs` and `proveResultsWritable`; throws `InputError`.
InputFiles loadInputFiles(const RunSettings& settings);

/// The input files alone, for a caller that writes none of the run's tables; throws `InputError`.
InputFiles loadRunInputs(const RunSettings& settings);

}  // namespace quillon
