// A study as the packages ask for it: the study module runs it exactly as the runner's study
// command does, and its tables come back as plain tables.
#include <algorithm>
#include <exception>
#include <filesystem>

#include "plain_internal.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/run_limits.h"
#include "quillon/package_core/plain_values.h"
#include "quillon/study/study.h"

namespace quillon {

namespace {

// Collects the study's messages, turns its progress into the share of tasks done and asks the
// caller whether to stop, at the runs' progress points and between tasks.
class StudyHost : public RunHost, public StudyWatcher {
public:
    explicit StudyHost(const PlainStudyRequest& request) : request_(request) {}

    void showMessage(const std::string& text) override { messages.push_back(withLineFeeds(text)); }
    ProgressHandle progressInit(const std::string&) override { return ++lastHandle_; }
    void progressSet(ProgressHandle, const ProgressReport& report) override {
        taskShare_ = report.expectedTests > 0
                         ? static_cast<double>(report.testsStarted) / static_cast<double>(report.expectedTests)
                         : 0.0;
        report_();
    }
    bool progressIsCancelled(ProgressHandle) override { return stopRequested(); }
    void progressShutdown(ProgressHandle) override {}

    void started(std::size_t, std::size_t, std::size_t tasksToRun) override {
        tasksToRun_ = tasksToRun;
        report_();
    }
    void taskFinished(bool) override {
        ++tasksRun_;
        taskShare_ = 0.0;
        report_();
    }
    bool stopRequested() override { return askCancelled(request_.cancelled, cancelRequested); }

    std::vector<std::string> messages;
    bool cancelRequested = false;

private:
    void report_() {
        if (!request_.progress || cancelRequested) return;
        try {
            // The merge's own progress points come after the last task and add nothing.
            const double total = static_cast<double>(tasksToRun_);
            request_.progress(std::min(static_cast<double>(tasksRun_) + std::min(taskShare_, 1.0), total), total);
        } catch (...) {
            // A callback that fails cannot be told anything more: the study stops.
            cancelRequested = true;
        }
    }

    const PlainStudyRequest& request_;
    ProgressHandle lastHandle_ = 0;
    std::size_t tasksToRun_ = 0, tasksRun_ = 0;
    double taskShare_ = 0.0;
};

std::string joinedLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
}

// One of the study's tables read back, or false with the reason as the study's error.
bool readStudyTable(const std::string& path, const std::vector<std::string>& factorNames, PlainTable& table,
                    PlainStudyResult& result) {
    const std::optional<std::string> text = readWholeFile(path);
    Outcome<PlainTable> read = text ? plainCsvTable(*text, path, factorNames)
                                    : Failure{FailureKind::Input, "Table " + path + " is not available."};
    if (!read) {
        result.errorKind = plainProblemKind(read.failure().kind);
        result.error = read.failure().message;
        return false;
    }
    table = std::move(*read);
    return true;
}

}  // namespace

PlainStudyResult studyPlain(const PlainStudyRequest& request) {
    PlainStudyResult result;
    try {
        std::int64_t threads = 0;  // 0: as the study file says
        for (const auto& [shown, value] : request.settings) {
            PlainProblem problem = runnerName(shown) == "threads"
                                       ? wholeSetting(shown, value, 1, maxThreadCount, threads)
                                       : unknownName("setting", shown, {"threads"}, request.argumentNames);
            if (problem) {
                result.errorKind = problem.kind;
                result.error = problem.text;
                return result;
            }
        }
        Outcome<Study> read = readStudy(request.file);
        if (!read) {
            result.errorKind = plainProblemKind(read.failure().kind);
            result.error = read.failure().message;
            return result;
        }
        Study& study = *read;
        if (threads > 0) study.threads = static_cast<unsigned>(threads);
        result.outputFolder = study.outputFolder;
        StudyHost host(request);
        const Status ran = runStudyLocally(study, studyWorkFolder(study), 1, host, host);
        if (host.cancelRequested) {
            result.cancelled = true;
            return result;
        }
        if (!ran) {
            host.messages.push_back(ran.failure().message);
            result.errorKind = plainProblemKind(ran.failure().kind);
            result.error = joinedLines(host.messages);
            return result;
        }
        result.warnings = host.messages;
        std::vector<std::string> factorNames;
        for (const StudyFactor& factor : study.factors) factorNames.push_back(factor.name);
        const std::filesystem::path folder(study.outputFolder);
        if (!readStudyTable((folder / "study_results.csv").string(), factorNames, result.results, result) ||
            !readStudyTable((folder / "study_summary.csv").string(), factorNames, result.summary, result))
            return result;
    } catch (const std::exception& error) {
        result.errorKind = PlainProblemKind::Message;
        result.error = error.what();
    }
    return result;
}

}  // namespace quillon
