#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/checker/input_checker.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/simulation.h"
#include "quillon/observed_answers/observed_answers.h"
#include "quillon/outcome/outcome.h"
#include "quillon/run_record/run_record.h"

namespace quillon {

/// One column of a plain table: numbers (NaN for an empty field) or texts, never both.
struct PlainColumn {
    std::string name;
    bool isText = false;
    std::vector<double> numbers;
    std::vector<std::string> texts;
    bool whole = false;  // counts, lengths, groups and positions: whole numbers where not missing

    std::size_t size() const { return isText ? texts.size() : numbers.size(); }
};

/// A table as the R and Python packages hand it on: named columns of equal length.
struct PlainTable {
    std::vector<PlainColumn> columns;

    std::size_t rowCount() const { return columns.empty() ? 0 : columns.front().size(); }

    /// The column of that name, or nullptr.
    const PlainColumn* column(std::string_view name) const;
};

/// Which of the runner's tables a text is, told by its first line.
enum class PlainTableKind { Results, Exposure, Stopping, Confusion, Trace, Examinees, Study, Unknown };

/// The kind of table whose first line (without its line end) is `header`.
PlainTableKind plainTableKind(std::string_view header);

/// Any table the runner writes, as a plain table with the documented plain column names;
/// `fileName` only names the file in an Input failure.
Outcome<PlainTable> plainTableText(std::string_view text, const std::string& fileName);

/// `plainTableText` of a file written by the runner (results, exposure, stopping, confusion, trace or
/// examinees).
Outcome<PlainTable> readResults(const std::string& path);

/// The checker's findings, one row each: file, line, column, kind ("error" or "warning"), what, fix.
PlainTable plainFindings(const CheckReport& report);

/// Real examinees' answers as a package gives them: response files, response lines, or a matrix.
struct PlainAnswers {
    enum class Form { Paths, Text, Matrix };
    Form form = Form::Paths;
    std::vector<std::string> paths;
    std::string text;  // response lines in the usual layout, read as "data.csv"
    /// Rows examinees, columns items, by rows: 1 right, 0 wrong, NaN not administered.
    std::size_t rows = 0, columns = 0;
    std::vector<double> cells;
    /// Each examinee's 1-based group (NaN: none); empty: a matrix has none, response lines keep
    /// their own group digits.
    std::vector<double> groups;
    std::vector<std::string> examineeIds;  // a matrix's; empty: its row numbers
    /// The items' identifiers and collections; empty: I0001... and one collection.
    std::vector<std::string> itemIds;
    std::vector<double> collections;
};

/// One input of a run: a file path, the file's text, (pool, script, enemies) a plain table, or
/// (data) a matrix of answers with the examinees' true groups.
struct PlainInput {
    enum class Form { Absent, Path, Text, Table, Answers };
    Form form = Form::Absent;
    std::string value;  // the path or the text
    PlainTable table;
    PlainAnswers answers;  // a matrix, its groups required

    static PlainInput path(std::string p) { return {Form::Path, std::move(p), {}, {}}; }
    static PlainInput text(std::string t) { return {Form::Text, std::move(t), {}, {}}; }
    static PlainInput fromTable(PlainTable t) { return {Form::Table, {}, std::move(t), {}}; }
    static PlainInput fromAnswers(PlainAnswers a) { return {Form::Answers, {}, {}, std::move(a)}; }
};

/// The pool file for a pool table (columns `item`, `collection`, optional `drop`, and `p_group_1`
/// ... `p_group_N`) and the groups' priors (none: the priors row holds zeros, as the exposure
/// table writes them); an Input failure says why when the table cannot be a pool.
Outcome<std::string> poolFileText(const PlainTable& pool, const std::vector<double>& priors);

/// The script file for a script table (columns `collection` and `randomization`, one row per slot).
Outcome<std::string> scriptFileText(const PlainTable& script);

/// The enemies file for an enemies table in long form (columns `set` and `item`, one row per
/// member, the sets in the order they first appear).
Outcome<std::string> enemiesFileText(const PlainTable& enemies);

/// What kind of problem stopped a package's call: a failure's kind, with a Usage failure told
/// apart by whether a setting's name or its value is wrong. Each package turns every kind into its
/// own exception class or condition, in one place.
enum class PlainProblemKind {
    None,
    SettingName,   // no setting of that name; the message says the closest valid one
    SettingValue,  // a setting's value the runner would refuse; the message names it and what it may be
    Input,         // an input file is missing, unreadable or refused
    Output,        // an output could not be written, or would replace an input or another output
    Message,       // anything else: the system's message(s) that ended a run
};

/// The package's kind of a failure of `kind` (a Usage failure as a setting's value).
PlainProblemKind plainProblemKind(FailureKind kind);

/// The kind's name as the packages see it: "", "setting_name", "setting_value", "input", "output"
/// or "message".
const char* plainProblemKindName(PlainProblemKind kind);

/// Everything one run from a package asks for.
struct PlainRunRequest {
    /// (name, value) as the packages name the runner's long options, with underscores for dashes
    /// (dashes work too): ("max_length", "40"), set through `setRunSetting`; flags are "true" or
    /// "false". Also "seed", "threads" (default: `defaultThreadCount`), "trace_candidates",
    /// "trace_examinees" (default: every examinee) and, once per value, "stop_probability" (or
    /// "stop_probabilities"; none: the runner's default). Messages name a setting as given here.
    std::vector<std::pair<std::string, std::string>> settings;
    /// The calling function's own argument names, offered with the settings' for a misspelt name.
    std::vector<std::string> argumentNames;
    PlainInput pool, data, script, enemies;
    std::vector<double> priors;  // with a pool table only
    bool trace = false;
    bool stopping = false;  // also with "use_sprt", as the runner does
    bool confusion = false;
    bool examinees = false;  // one row per examinee and test, kept only when asked for
    /// Where to write a table as well, with the engine's own writers; empty: kept in memory only.
    std::string resultsPath, exposurePath, tracePath, stoppingPath, confusionPath, examineesPath;
    /// Called at the run's progress points, from any of its threads but never at once.
    std::function<void(const ProgressReport&)> progress;
    /// Asked at the progress points; true ends the replay (the run then counts as cancelled).
    std::function<bool()> cancelled;
};

/// What a run from a package produced: the tables, or the error that stopped it.
struct PlainRunResult {
    std::string error;  // the system's message(s), line feeds between lines; empty when the run completed
    PlainProblemKind errorKind = PlainProblemKind::None;
    std::vector<std::string> warnings;  // messages of a run that still completed
    bool cancelled = false;             // cancelled through the request's callback: no tables
    std::string doneMessage;
    RunSummary summary;
    int threads = 0;  // the threads the run was given (the default's count when none was asked for)
    PlainTable results, exposure, stopping, confusion, trace, examinees;  // those asked for
    bool hasExposure = false, hasStopping = false, hasConfusion = false, hasTrace = false, hasExaminees = false;
    /// What made the run, for every completed run; written beside the results as NAME_run.json
    /// only when the request names a results file.
    std::optional<RunRecord> record;
};

/// Runs the engine as the runner does with the same settings, over inputs held in memory (the
/// paths read by the engine's loaders), and builds every table from the run's statistics at full
/// precision: a share with nothing to divide by is NaN. Writes a file only where the request names
/// one, with the runner's writers; never makes a temporary file and never throws for anything a
/// caller can put in the request.
PlainRunResult runPlain(const PlainRunRequest& request);

/// The results table of finished statistics: one row per length up to the maximum, the plain
/// column names (no Bayes columns but with two groups).
PlainTable resultsPlainTable(const RunStatistics& statistics, const RunSettings& settings);

/// The exposure table: one row per pool item.
PlainTable exposurePlainTable(const RunStatistics& statistics, const ItemPool& pool);

/// The stopping table, row for row as its text.
PlainTable stoppingPlainTable(const StoppingTable& table);

/// The confusion table, row for row as its text.
PlainTable confusionPlainTable(const ConfusionTable& table);

/// What `generatePlain` wrote, or why not.
struct PlainGenerated {
    std::string problem;
    PlainProblemKind problemKind = PlainProblemKind::None;
    std::string pool, script, enemies, data;  // the four paths
};

/// Writes the four sample files into `folder` with the named options, as `quillon-sim generate`
/// takes them: "items", "collections", "groups", "examinees", "script_length", "blank_share",
/// "group_shares" (comma-separated), "item_quality", "seed" and "force"; values as text,
/// underscores or dashes in the names. Messages name an option as given.
PlainGenerated generatePlain(const std::vector<std::pair<std::string, std::string>>& options,
                             const std::string& folder);

/// What a check found: the findings as a plain table and the checker's own report text.
struct PlainChecked {
    std::string problem;  // a setting that could not be set
    PlainProblemKind problemKind = PlainProblemKind::None;
    PlainTable findings;
    std::string text;
    int exitCode = 0;  // as `quillon-sim check`: 0 clean, 1 errors, 3 warnings only
};

/// Checks the inputs of a run given as in `runPlain` (only its settings, not the run's own
/// options); the checker reads files, so tables are written to a private temporary folder first
/// and findings on them name them "pool.csv" and the like.
PlainChecked checkPlain(const PlainRunRequest& request);

/// A comma-separated table whose header holds plain names (the study's tables): the columns
/// named in `textColumns` as texts, every other as numbers; `fileName` only names it in an Input failure.
Outcome<PlainTable> plainCsvTable(std::string_view text, const std::string& fileName,
                                  const std::vector<std::string>& textColumns);

/// A value of a study design given in code, typed as the caller gave it: a table keeps its
/// entries in the order given.
struct PlainValue {
    enum class Kind { Text, Whole, Number, Flag, List, Table };
    Kind kind = Kind::Table;
    std::string text;
    std::int64_t whole = 0;
    double number = 0;
    bool flag = false;
    std::vector<PlainValue> items;                            // List
    std::vector<std::pair<std::string, PlainValue>> entries;  // Table

    static PlainValue ofText(std::string t) { return {Kind::Text, std::move(t), 0, 0, false, {}, {}}; }
    static PlainValue ofWhole(std::int64_t w) { return {Kind::Whole, {}, w, 0, false, {}, {}}; }
    static PlainValue ofNumber(double x) { return {Kind::Number, {}, 0, x, false, {}, {}}; }
    static PlainValue ofFlag(bool f) { return {Kind::Flag, {}, 0, 0, f, {}, {}}; }
};

/// A design given in code as the study file that holds it, and where that file goes.
struct PlainStudyDesign {
    std::string toml;
    std::string outputFolder;  // absolute; study.toml goes into it
};

/// The study file of a design with the tables and keys of a study file. Every key may be written
/// with underscores for the file's dashes (`max_length` is `max-length`); the file is written with
/// dashes. Relative paths (output, pool, script, enemies, data files) are taken from
/// `workingFolder` and written absolute. `scalarsAsArrays` (R, whose single values are vectors of
/// one) writes a single value as an array of one where the file takes an array: a factor's levels,
/// the data files and the group shares. An Input failure says what cannot be a study file.
Outcome<PlainStudyDesign> studyDesignToml(const PlainValue& design, const std::string& workingFolder,
                                          bool scalarsAsArrays);

/// A finished study's tables as plain tables: the factor columns under their snake_case names, as
/// numbers when every level is a number, else as texts; an empty field is NaN.
struct PlainStudyTables {
    PlainTable results, outcomes, summary, conditions;
};

/// Reads the study tables of an output folder; an Input failure names a table that is missing or
/// whose header is not the study's.
Outcome<PlainStudyTables> readStudyTables(const std::string& folder);

/// A study from a package: a study file, or a design given in code (written into the output folder
/// as study.toml and run from there), run on this machine as `quillon-sim study` runs it.
struct PlainStudyRequest {
    std::string file;
    std::optional<PlainValue> design;  // instead of the file
    bool scalarsAsArrays = false;      // as in `studyDesignToml`
    /// ("threads", N) to override the study file's; named as in `PlainRunRequest`.
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<std::string> argumentNames;
    /// Called between and during the study's tasks with the share done as (done, total) tasks.
    std::function<void(double, double)> progress;
    /// Asked at the progress points; true stops the study (the parts finished so far stay).
    std::function<bool()> cancelled;
};

/// What a study from a package produced: its tables, or the error that stopped it.
struct PlainStudyResult {
    std::string error;  // the system's message(s), line feeds between lines
    PlainProblemKind errorKind = PlainProblemKind::None;
    std::vector<std::string> warnings;  // messages of runs that still completed
    bool cancelled = false;             // stopped through the request's callback: no tables
    std::string outputFolder;           // where the study's tables are
    std::string studyFile;              // the study file it ran (study.toml for a design)
    PlainStudyTables tables;
};

/// Runs a study as `quillon-sim study FILE` does and reads back the tables it wrote; never
/// throws for anything a caller can put in the request.
PlainStudyResult studyPlain(const PlainStudyRequest& request);

/// The answers a package gave, as observed answers; a matrix is taken cell by cell, without a text
/// in between. An Input failure names the row and column, or the file and line, of a fault.
Outcome<ObservedAnswers> plainObservedAnswers(const PlainAnswers& data);

/// A calibration from a package: the pilot's answers and the options by name.
struct PlainCalibrationRequest {
    PlainAnswers data;
    /// ("prior", "A,B"), ("min_answers", N), ("drop_thin", "true"), ("group_count", N) for known
    /// groups beyond the highest in the data, ("latent", "G" or "G1..G2"),
    /// ("starts", N), ("seed", N), ("tolerance", X), ("max_iterations", N); messages name them as given.
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<std::string> argumentNames;
};

/// A calibration as plain tables, or the error that stopped it.
struct PlainCalibrationResult {
    std::string error;
    PlainProblemKind errorKind = PlainProblemKind::None;
    std::vector<std::string> warnings;
    /// As a run takes a pool table: item, collection, drop (1 or 0), p_group_1 ... p_group_N.
    PlainTable pool;
    /// The calibration table, one row per item and group, and (latent classes only) the fit table,
    /// one row per class count: the runner's columns and values.
    PlainTable calibration, fit;
    bool hasFit = false;
    std::vector<double> priors;      // the group shares: the pool's priors row
    std::vector<double> groupSizes;  // the pool's calibration row
};

/// Estimates a pool as `quillon-sim calibrate` does; never throws for anything a caller can put in
/// the request.
PlainCalibrationResult calibratePlain(const PlainCalibrationRequest& request);

/// A scoring from a package: a pool (path, text or table with its priors), the answers, and the
/// run settings that classify (named as in `PlainRunRequest`).
struct PlainScoreRequest {
    PlainInput pool;
    std::vector<double> priors;
    PlainAnswers data;
    std::vector<std::pair<std::string, std::string>> settings;
    std::vector<std::string> argumentNames;
    bool sequential = false;
    /// Per examinee, the 1-based pool positions of the items in the order given; empty: pool order.
    std::vector<std::vector<double>> itemOrders;
};

/// The score table, or the error that stopped it.
struct PlainScoreResult {
    std::string error;
    PlainProblemKind errorKind = PlainProblemKind::None;
    PlainTable scores;  // the score table's columns, one row per examinee
};

/// Classifies real examinees as `quillon-sim score` does; never throws for anything a caller can
/// put in the request.
PlainScoreResult scorePlain(const PlainScoreRequest& request);

}  // namespace quillon
