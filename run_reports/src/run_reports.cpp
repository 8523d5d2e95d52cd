#include "quillon/run_reports/run_reports.h"

#include <algorithm>
#include <optional>

#include "quillon/engine/examinee_results.h"
#include "quillon/engine/input_files.h"

namespace quillon {

namespace {

constexpr const char* lineEnd = "\r\n";

// Rows are handed to the file in chunks of about this size, so memory stays flat.
constexpr std::size_t traceChunk = std::size_t{1} << 20;

// The recorded answer as the file has it: a digit, or none for anything else or nothing.
std::optional<std::int32_t> recordedAnswer(const std::string& line, std::int32_t item) {
    const std::size_t at = 13 + static_cast<std::size_t>(item - 1);
    if (at >= line.size() || line[at] < '0' || line[at] > '9') return std::nullopt;
    return line[at] - '0';
}

// Trace rows as the file's CSV lines, appended to a buffer.
class TraceText : public TraceFields {
public:
    explicit TraceText(std::string& buffer) : buffer_(buffer) {}
    void whole(std::int64_t value) override { field(std::to_string(value)); }
    void number(double value) override { field(formatRoundTrip(value)); }
    void text(const std::string& value) override { field(poolField(value)); }
    void missing() override { field({}); }
    void rowEnd() override {
        buffer_ += lineEnd;
        first_ = true;
    }

private:
    void field(const std::string& text) {
        if (!first_) buffer_ += ',';
        buffer_ += text;
        first_ = false;
    }

    std::string& buffer_;
    bool first_ = true;
};

std::string unwritable(const char* kind, const std::string& path) {
    return std::string(kind) + " file " + upperName(path) + " is not available.";
}

}  // namespace

std::vector<std::string> traceColumnNames(std::int32_t groupCount, std::int32_t candidates) {
    std::vector<std::string> names = {"examinee", "examinee_id",   "true_group", "test",     "position", "collection",
                                      "item_id",  "item_position", "answer",     "eligible", "rank",     "score"};
    for (std::int32_t g = 1; g <= groupCount; ++g) names.push_back("posterior_" + std::to_string(g));
    names.insert(names.end(), {"map_group", "map_prob", "sprt_group"});
    if (groupCount == 2) names.insert(names.end(), {"bayes_group", "bayes_prob"});
    for (std::int32_t k = 1; k <= candidates; ++k) {
        names.push_back("best" + std::to_string(k) + "_id");
        names.push_back("best" + std::to_string(k) + "_score");
    }
    return names;
}

std::string traceHeader(std::int32_t groupCount, std::int32_t candidates) {
    std::string text;
    for (const std::string& name : traceColumnNames(groupCount, candidates)) text += (text.empty() ? "" : ",") + name;
    return text + lineEnd;
}

std::string stoppingFileBeside(const std::string& resultsFile) { return fileBesideResults(resultsFile, "_stopping"); }

RunReports::RunReports(RunReportOptions options, const RunSettings& settings)
    : options_(std::move(options)), settings_(settings) {
    // A negative count would turn the replay's traces off while rows are still written from them.
    options_.traceCandidates = std::max(0, options_.traceCandidates);
    // Opened now, before the run: the old trace stays until the new one is complete.
    if (!options_.traceFile.empty()) trace_.file = std::make_unique<FileReplacement>(options_.traceFile);
    if (!options_.examineesFile.empty()) examinees_.file = std::make_unique<FileReplacement>(options_.examineesFile);
    rules_ = stoppingRules(settings_.stopProbabilities);
}

void RunReports::Stream::flush(bool force) {
    if (!file || (!force && buffer.size() < traceChunk)) return;
    if (!file->write(buffer)) failed = true;
    buffer.clear();
}

std::vector<RoleFile> runFiles(const RunSettings& settings, const RunReportOptions& options) {
    std::vector<RoleFile> files = runInputFiles(settings);
    files.push_back({"results", settings.resultsFile});
    files.push_back({"exposure", settings.saveExposure ? trimSpaces(settings.exposureFile) : std::string()});
    files.push_back({"trace", options.traceFile});
    files.push_back({"stopping", options.stoppingFile});
    files.push_back({"confusion", options.confusionFile});
    files.push_back({"examinees", options.examineesFile});
    return files;
}

std::vector<RoleFile> RunReports::runFiles() const { return quillon::runFiles(settings_, options_); }

std::vector<std::string> RunReports::unwritableFiles() const {
    // A report written over one of the run's inputs, its tables or another report would destroy it.
    const std::vector<RoleFile> files = runFiles();
    const std::size_t firstReport = files.size() - 4;
    const char* kinds[] = {"Trace", "Stopping", "Confusion", "Examinees"};
    const char* names[] = {"trace", "stopping table", "confusion table", "examinees table"};
    std::vector<std::string> problems;
    for (std::size_t r = firstReport; r < files.size(); ++r) {
        std::vector<RoleFile> others = files;
        others.erase(others.begin() + static_cast<std::ptrdiff_t>(r));
        std::string refusal = sameFileRefusal(kinds[r - firstReport], files[r].path, names[r - firstReport], others);
        if (!refusal.empty()) problems.push_back(std::move(refusal));
    }
    if (!problems.empty()) return problems;
    if (trace_.file && !trace_.file->isOpen()) problems.push_back(unwritable("Trace", options_.traceFile));
    if (!options_.stoppingFile.empty() && !FileReplacement(options_.stoppingFile).isOpen())
        problems.push_back(unwritable("Stopping", options_.stoppingFile));
    if (!options_.confusionFile.empty() && !FileReplacement(options_.confusionFile).isOpen())
        problems.push_back(unwritable("Confusion", options_.confusionFile));
    if (examinees_.file && !examinees_.file->isOpen())
        problems.push_back(unwritable("Examinees", options_.examineesFile));
    return problems;
}

std::int32_t RunReports::traceCandidates() const {
    return trace_.file || options_.traceRows ? options_.traceCandidates : -1;
}

void RunReports::replayStarts(const InputFiles& inputs) {
    pool_ = &inputs.pool;
    if (examinees_.file) examinees_.buffer = examineesHeader();
    if (trace_.file) trace_.buffer = traceHeader(settings_.groupCount, options_.traceCandidates);
}

void RunReports::testTaken(const ExamineeLine& examinee, std::int32_t testNumber, const TestRecord& test) {
    if (examinees_.file || options_.examineeResults) {
        // One value for the file's row and the table kept in memory, so the two cannot differ.
        const ExamineeResult result = examineeResultOf(examinee, testNumber, test, rules_);
        if (examinees_.file) {
            appendExamineeRow(examinees_.buffer, result);
            examinees_.flush(false);
        }
        if (options_.examineeResults) options_.examineeResults->take(result);
    }
    if ((!trace_.file && !options_.traceRows) ||
        (options_.traceExaminees >= 0 && examinee.number > options_.traceExaminees))
        return;
    if (trace_.file) {
        TraceText text(trace_.buffer);
        for (std::size_t n = 0; n < test.positions.size(); ++n) traceRow(examinee, testNumber, n, test, text);
        trace_.flush(false);
    }
    if (options_.traceRows) {
        for (std::size_t n = 0; n < test.positions.size(); ++n)
            traceRow(examinee, testNumber, n, test, *options_.traceRows);
    }
}

void RunReports::traceRow(const ExamineeLine& examinee, std::int32_t testNumber, std::size_t n, const TestRecord& test,
                          TraceFields& fields) const {
    const PositionOutcome& p = test.positions[n];
    const PositionTrace& t = test.traces[n];
    fields.whole(examinee.number);
    fields.text(responseLineId(*examinee.text));
    fields.whole(examinee.trueGroup);
    fields.whole(testNumber);
    fields.whole(static_cast<std::int64_t>(n + 1));
    fields.whole(t.collection);
    fields.text(pool_->itemId[static_cast<std::size_t>(p.item - 1)]);
    fields.whole(p.item);
    if (const std::optional<std::int32_t> answer = recordedAnswer(*examinee.text, p.item))
        fields.whole(*answer);
    else
        fields.missing();
    fields.whole(t.selection.eligible);
    fields.whole(t.selection.rank);
    fields.number(t.selection.score);
    for (double value : t.posterior) fields.number(value);
    fields.whole(p.mapGroup);
    fields.number(p.mapProb);
    fields.whole(p.sprtGroup);
    if (settings_.groupCount == 2) {
        fields.whole(p.bayesGroup);
        fields.number(p.bayesProb);
    }
    for (std::int32_t k = 0; k < options_.traceCandidates; ++k) {
        const std::size_t at = static_cast<std::size_t>(k);
        if (at < t.selection.best.size()) {
            const Candidate& c = t.selection.best[at];
            fields.text(pool_->itemId[static_cast<std::size_t>(c.position - 1)]);
            fields.number(c.score);
        } else {  // fewer candidates than asked for
            fields.missing();
            fields.missing();
        }
    }
    fields.rowEnd();
}

std::vector<std::string> RunReports::finish(const RunSummary& run) {
    // They describe every test of a run or none.
    const bool completed = run.completed && !run.cancelled;
    std::vector<std::string> problems;
    if (!completed) {
        if (trace_.file) trace_.file->abandon();
        if (examinees_.file) examinees_.file->abandon();
        return problems;
    }
    if (examinees_.file) {
        // A merge has no replay to stream from: its rows come with the parts' statistics.
        if (run.statistics.keepsExamineeRows) {
            examinees_.buffer = examineesHeader();
            examinees_.flush(true);
            if (!examinees_.file->write(run.statistics.examineeRows)) examinees_.failed = true;
        }
        examinees_.flush(true);
        if (examinees_.failed || !examinees_.file->commit()) {
            examinees_.file->abandon();
            problems.push_back("Examinees file " + upperName(options_.examineesFile) + " has a problem.");
        }
    }
    if (trace_.file) {
        trace_.flush(true);
        if (trace_.failed || !trace_.file->commit()) {
            trace_.file->abandon();
            problems.push_back("Trace file " + upperName(options_.traceFile) + " has a problem.");
        }
    }
    if (!options_.stoppingFile.empty() && !replaceFileContents(options_.stoppingFile, run.statistics.stopping.text()))
        problems.push_back("Stopping file " + upperName(options_.stoppingFile) + " has a problem.");
    if (!options_.confusionFile.empty() &&
        !replaceFileContents(options_.confusionFile, run.statistics.confusion.text()))
        problems.push_back("Confusion file " + upperName(options_.confusionFile) + " has a problem.");
    written_ = problems.empty();
    return problems;
}

}  // namespace quillon
