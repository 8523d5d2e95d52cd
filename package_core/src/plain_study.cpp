// A study as the packages ask for it: the study module runs it exactly as the runner's study
// command does, and its tables come back as plain tables.
#include <algorithm>
#include <exception>
#include <filesystem>

#include "plain_internal.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
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

// The study file of a design given in code, written into its output folder as study.toml; its
// path, or the failure. A different study.toml already there is never replaced: it is an input.
// `wrote` says whether it wrote the file, `createdFolder` whether it made the output folder.
Outcome<std::string> writeDesign(const PlainStudyRequest& request, bool& wrote, bool& createdFolder) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path working = fs::current_path(error);
    Outcome<PlainStudyDesign> design = studyDesignToml(*request.design, working.string(), request.scalarsAsArrays);
    if (!design) return design.failure();
    const fs::path file = fs::path(design->outputFolder) / "study.toml";
    if (const std::optional<std::string> there = readWholeFile(file.string())) {
        if (*there == design->toml) return file.string();
        return Failure{FailureKind::Output, "The output folder " + design->outputFolder +
                                                " holds another study's study.toml, which is not replaced: give the "
                                                "design another output folder, or run that file"};
    }
    createdFolder = fs::create_directories(design->outputFolder, error);
    if (error || !replaceFileContents(file.string(), design->toml))
        return Failure{FailureKind::Output, "The study file " + file.string() + " cannot be written"};
    wrote = true;
    return file.string();
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
        bool wrote = false, createdFolder = false;
        Outcome<std::string> file =
            request.design ? writeDesign(request, wrote, createdFolder) : Outcome<std::string>(request.file);
        if (!file) {
            result.errorKind = plainProblemKind(file.failure().kind);
            result.error = file.failure().message;
            return result;
        }
        Outcome<Study> read = readStudy(*file);
        if (!read) {
            // A design the study refuses leaves no study.toml behind to block the corrected one.
            std::error_code error;
            if (wrote) std::filesystem::remove(*file, error);
            if (createdFolder) std::filesystem::remove(std::filesystem::path(*file).parent_path(), error);
            result.errorKind = plainProblemKind(read.failure().kind);
            result.error = read.failure().message;
            return result;
        }
        Study& study = *read;
        if (threads > 0) study.threads = static_cast<unsigned>(threads);
        result.outputFolder = study.outputFolder;
        result.studyFile = *file;
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
        Outcome<PlainStudyTables> tables = readStudyTables(study.outputFolder);
        if (!tables) {
            result.errorKind = plainProblemKind(tables.failure().kind);
            result.error = tables.failure().message;
            return result;
        }
        result.tables = std::move(*tables);
    } catch (const std::exception& error) {
        result.errorKind = PlainProblemKind::Message;
        result.error = error.what();
    }
    return result;
}

}  // namespace quillon
