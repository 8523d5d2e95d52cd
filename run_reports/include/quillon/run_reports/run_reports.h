#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/engine/confusion_table.h"
#include "quillon/engine/examinee_results.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/simulation.h"
#include "quillon/engine/stopping_table.h"

namespace quillon {

/// Takes the fields of trace rows in the header's order: the one description of a row, which the
/// trace file and a trace kept in memory both follow.
class TraceFields {
public:
    virtual ~TraceFields() = default;
    virtual void whole(std::int64_t value) = 0;
    virtual void number(double value) = 0;
    virtual void text(const std::string& value) = 0;  // an identifier, as loaded
    virtual void missing() = 0;                       // a field the row leaves empty
    virtual void rowEnd() = 0;
};

/// Takes the examinees table's rows as the replay makes them, each the same value the file's row
/// is written from.
class ExamineeResultSink {
public:
    virtual ~ExamineeResultSink() = default;
    virtual void take(const ExamineeResult& result) = 0;
};

/// What a run reports beyond its two tables; an empty file name leaves that report out.
struct RunReportOptions {
    std::string traceFile;
    TraceFields* traceRows = nullptr;  // takes every trace row too (a trace kept in memory)
    std::int32_t traceCandidates = 0;  // best candidates per trace row, 0 to maxTraceCandidates
    std::int64_t traceExaminees = -1;  // negative: every examinee
    std::string stoppingFile;
    std::string confusionFile;
    std::string examineesFile;  // one row per examinee and test: final MAP group, each rule's stop
    /// Takes every examinees row too (the table kept in memory); fed by the replay only, so a
    /// merge, whose rows come with its parts, writes them to the file alone.
    ExamineeResultSink* examineeResults = nullptr;
};

/// Streams a run's trace (to its file, to `traceRows` or both) as its tests enter the tables and
/// writes the stopping and confusion tables from the run's statistics, only when the run completed:
/// a run that ends with a message leaves every old file as it was. Memory stays flat however long
/// the run (a trace kept in memory grows with it).
class RunReports : public ReplayListener {
public:
    RunReports(RunReportOptions options, const RunSettings& settings);

    /// The report files that cannot be written, or that would replace an input, a table or another
    /// report, each as a message naming it; checked before the run starts, so a run is never spent
    /// on a report that could not be kept and no report destroys a file the user needs.
    std::vector<std::string> unwritableFiles() const;

    /// `runFiles` of this run.
    std::vector<RoleFile> runFiles() const;

    std::int32_t traceCandidates() const override;
    void replayStarts(const InputFiles& inputs) override;
    void testTaken(const ExamineeLine& examinee, std::int32_t testNumber, const TestRecord& test) override;

    /// Writes the reports of a run whose replay took every test (or drops them: a run that ended
    /// with a message, or was cut by a cancel or an icol error, keeps the old files); the messages
    /// of files that could not be written, empty when all were. `written()` then tells.
    std::vector<std::string> finish(const RunSummary& run);

    /// Whether `finish` wrote every report.
    bool written() const { return written_; }

private:
    std::string examineesHeader() const { return examineeResultsHeader(rules_); }
    void traceRow(const ExamineeLine& examinee, std::int32_t testNumber, std::size_t n, const TestRecord& test,
                  TraceFields& fields) const;

    // A report written piece by piece as the replay goes, kept only when the run completes.
    struct Stream {
        std::unique_ptr<FileReplacement> file;
        std::string buffer;
        bool failed = false;
        void flush(bool force);
    };

    RunReportOptions options_;
    const RunSettings& settings_;
    const ItemPool* pool_ = nullptr;
    Stream trace_;
    Stream examinees_;
    std::vector<StoppingRule> rules_;
    bool written_ = false;
};

/// The trace's column names for a run's groups and best candidates.
std::vector<std::string> traceColumnNames(std::int32_t groupCount, std::int32_t candidates);

/// Every file a run with these reports reads or writes, by role: its inputs, its tables, then the
/// trace, the stopping, confusion and examinees tables (a report left out has an empty name).
std::vector<RoleFile> runFiles(const RunSettings& settings, const RunReportOptions& options);

/// The trace's header line: the column names, CR LF.
std::string traceHeader(std::int32_t groupCount, std::int32_t candidates);

/// The stopping table's default name beside a results table: NAME_stopping.csv for NAME.csv.
std::string stoppingFileBeside(const std::string& resultsFile);

}  // namespace quillon
