// The R side of the shared layer: converts R values to the layer's plain values and back, and
// keeps every call into R on R's own thread.
#include <R_ext/Utils.h>
#include <Rcpp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quillon/engine/program_version.h"
#include "quillon/engine/setting_names.h"
#include "quillon/package_core/plain_values.h"

namespace {

// Counts, lengths and groups become R integers unless one is beyond R's integer range.
bool fitsInteger(const std::vector<double>& numbers) {
    for (const double x : numbers) {
        if (!std::isnan(x) && !(x > -2147483647.0 && x <= 2147483647.0)) return false;
    }
    return true;
}

Rcpp::DataFrame toDataFrame(const quillon::PlainTable& table) {
    Rcpp::List columns(table.columns.size());
    Rcpp::CharacterVector names(table.columns.size());
    for (std::size_t c = 0; c < table.columns.size(); ++c) {
        const quillon::PlainColumn& column = table.columns[c];
        names[c] = column.name;
        if (column.isText) {
            columns[c] = Rcpp::CharacterVector(column.texts.begin(), column.texts.end());
        } else if (column.whole && fitsInteger(column.numbers)) {
            Rcpp::IntegerVector whole(column.numbers.size());
            for (std::size_t i = 0; i < column.numbers.size(); ++i) {
                const double x = column.numbers[i];
                whole[i] = std::isnan(x) ? NA_INTEGER : static_cast<int>(x);
            }
            columns[c] = whole;
        } else {
            Rcpp::NumericVector numbers(column.numbers.begin(), column.numbers.end());
            // An empty field is R's missing value, not a computed NaN.
            for (double& x : numbers) {
                if (std::isnan(x)) x = NA_REAL;
            }
            columns[c] = numbers;
        }
    }
    columns.attr("names") = names;
    columns.attr("class") = "data.frame";
    columns.attr("row.names") = Rcpp::IntegerVector::create(NA_INTEGER, -static_cast<int>(table.rowCount()));
    return Rcpp::DataFrame(columns);
}

// Numbers, whole numbers and flags become numbers (missing as NaN); texts and factors, texts.
quillon::PlainTable toPlainTable(const Rcpp::DataFrame& frame) {
    quillon::PlainTable table;
    const Rcpp::CharacterVector names = frame.names();
    for (R_xlen_t c = 0; c < frame.size(); ++c) {
        quillon::PlainColumn column;
        column.name = Rcpp::as<std::string>(names[c]);
        SEXP values = frame[c];
        if (Rf_isFactor(values)) values = Rf_asCharacterFactor(values);
        Rcpp::Shield<SEXP> kept(values);
        if (TYPEOF(values) == STRSXP) {
            column.isText = true;
            for (R_xlen_t i = 0; i < XLENGTH(values); ++i) {
                const SEXP text = STRING_ELT(values, i);
                column.texts.push_back(text == NA_STRING ? std::string() : std::string(CHAR(text)));
            }
        } else if (TYPEOF(values) == REALSXP || TYPEOF(values) == INTSXP || TYPEOF(values) == LGLSXP) {
            const Rcpp::NumericVector numbers = Rcpp::as<Rcpp::NumericVector>(values);
            column.numbers.assign(numbers.begin(), numbers.end());
        } else {
            Rcpp::stop("column " + column.name + " holds neither numbers nor texts");
        }
        table.columns.push_back(std::move(column));
    }
    return table;
}

// Response data prepared by the R side: list(form = "paths" | "matrix", paths or matrix, and
// optional groups, examinee_ids, items, collections), NA as not administered or no group.
quillon::PlainAnswers toAnswers(const Rcpp::List& data) {
    quillon::PlainAnswers answers;
    const std::string form = Rcpp::as<std::string>(data["form"]);
    if (form == "paths") {
        answers.paths = Rcpp::as<std::vector<std::string>>(data["paths"]);
    } else {
        answers.form = quillon::PlainAnswers::Form::Matrix;
        const Rcpp::NumericMatrix matrix = data["matrix"];
        answers.rows = static_cast<std::size_t>(matrix.nrow());
        answers.columns = static_cast<std::size_t>(matrix.ncol());
        // R keeps a matrix by columns; the layer takes it by rows.
        answers.cells.resize(answers.rows * answers.columns);
        for (std::size_t r = 0; r < answers.rows; ++r)
            for (std::size_t c = 0; c < answers.columns; ++c)
                answers.cells[r * answers.columns + c] = matrix(static_cast<int>(r), static_cast<int>(c));
    }
    const auto given = [&data](const char* name) { return data.containsElementNamed(name) && !Rf_isNull(data[name]); };
    if (given("groups")) answers.groups = Rcpp::as<std::vector<double>>(data["groups"]);
    if (given("examinee_ids")) answers.examineeIds = Rcpp::as<std::vector<std::string>>(data["examinee_ids"]);
    if (given("items")) answers.itemIds = Rcpp::as<std::vector<std::string>>(data["items"]);
    if (given("collections")) answers.collections = Rcpp::as<std::vector<double>>(data["collections"]);
    return answers;
}

// NULL: absent; a single string: a path; a data frame: a table; a list made by answers_value: a
// matrix of answers.
quillon::PlainInput toInput(SEXP value, const char* what) {
    if (Rf_isNull(value)) return {};
    if (TYPEOF(value) == VECSXP && !Rf_inherits(value, "data.frame"))
        return quillon::PlainInput::fromAnswers(toAnswers(Rcpp::List(value)));
    if (Rf_inherits(value, "data.frame")) return quillon::PlainInput::fromTable(toPlainTable(Rcpp::DataFrame(value)));
    if (TYPEOF(value) == STRSXP && Rf_length(value) == 1 && STRING_ELT(value, 0) != NA_STRING) {
        return quillon::PlainInput::path(Rcpp::as<std::string>(value));
    }
    Rcpp::stop(std::string(what) + " must be a file path or a data frame");
}

std::vector<std::pair<std::string, std::string>> toPairs(const Rcpp::CharacterVector& values) {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (values.size() == 0) return pairs;
    const Rcpp::CharacterVector names = values.names();
    for (R_xlen_t i = 0; i < values.size(); ++i) {
        pairs.emplace_back(Rcpp::as<std::string>(names[i]), Rcpp::as<std::string>(values[i]));
    }
    return pairs;
}

std::string textOf(const Rcpp::List& list, const char* name) {
    return list.containsElementNamed(name) ? Rcpp::as<std::string>(list[name]) : std::string();
}

quillon::PlainRunRequest toRequest(const Rcpp::List& r) {
    quillon::PlainRunRequest request;
    request.settings = toPairs(r["settings"]);
    request.argumentNames = Rcpp::as<std::vector<std::string>>(r["arguments"]);
    request.pool = toInput(r["pool"], "pool");
    request.data = toInput(r["data"], "data");
    request.script = toInput(r["script"], "script");
    request.enemies = toInput(r["enemies"], "enemies");
    if (!Rf_isNull(r["priors"])) request.priors = Rcpp::as<std::vector<double>>(r["priors"]);
    request.trace = Rcpp::as<bool>(r["trace"]);
    request.stopping = Rcpp::as<bool>(r["stopping"]);
    request.confusion = Rcpp::as<bool>(r["confusion"]);
    request.examinees = Rcpp::as<bool>(r["examinees"]);
    const Rcpp::List paths = r["paths"];
    request.resultsPath = textOf(paths, "results");
    request.exposurePath = textOf(paths, "exposure");
    request.tracePath = textOf(paths, "trace");
    request.stoppingPath = textOf(paths, "stopping");
    request.confusionPath = textOf(paths, "confusion");
    request.examineesPath = textOf(paths, "examinees");
    return request;
}

// Whether the user pressed Ctrl-C (or Esc) since the last look. R_CheckUserInterrupt jumps out
// of the C++ frames when it finds one, so it runs under R_ToplevelExec, which stops that jump.
bool userInterrupted() {
    return !R_ToplevelExec([](void*) { R_CheckUserInterrupt(); }, nullptr);
}

// The state a run's threads share with R's thread: the last progress and the cancel.
struct RunWatch {
    std::mutex mutex;
    std::condition_variable changed;
    int percent = 0;
    bool progressed = false;
    bool finished = false;
    std::atomic<bool> cancel{false};

    void setPercent(int value) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            percent = value;
            progressed = true;
        }
        changed.notify_one();
    }
};

// Runs `work` (the layer) on a thread of its own, so that only R's thread ever calls into R: it
// shows the progress through `progress` (an R function of the percentage, or NULL) and turns an
// interrupt into the layer's cancel. An interrupt, or an R condition raised by `progress`, ends
// the work, waits for its thread and then goes on to R. `work` gets the watch, whose
// `setPercent` it calls with its progress and whose `cancel` it asks.
template <class Work>
auto watchedWork(Work work, SEXP progress) {
    RunWatch watch;
    decltype(work(watch)) result;
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            result = work(watch);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(watch.mutex);
            watch.finished = true;
        }
        watch.changed.notify_one();
    });
    // Whatever leaves this frame (an R condition from `progress` included) cancels and waits.
    struct Joiner {
        RunWatch& watch;
        std::thread& worker;
        ~Joiner() {
            watch.cancel = true;
            if (worker.joinable()) worker.join();
        }
    } joiner{watch, worker};

    bool interrupted = false;
    for (;;) {
        bool finished = false;
        std::optional<int> percent;
        {
            std::unique_lock<std::mutex> lock(watch.mutex);
            watch.changed.wait_for(lock, std::chrono::milliseconds(50),
                                   [&] { return watch.finished || watch.progressed; });
            finished = watch.finished;
            if (watch.progressed) percent = watch.percent;
            watch.progressed = false;
        }
        if (!interrupted) {
            if (percent && !Rf_isNull(progress)) {
                const Rcpp::Function show(progress);
                show(*percent);
            }
            if (userInterrupted()) {
                interrupted = true;
                watch.cancel = true;
            }
        }
        if (finished) break;
    }
    worker.join();
    if (failure) std::rethrow_exception(failure);
    if (interrupted) throw Rcpp::internal::InterruptedException();
    return result;
}

quillon::PlainRunResult runWatched(quillon::PlainRunRequest request, SEXP progress) {
    return watchedWork(
        [&request](RunWatch& watch) {
            request.progress = [&watch](const quillon::ProgressReport& report) { watch.setPercent(report.percent); };
            request.cancelled = [&watch] { return watch.cancel.load(); };
            return quillon::runPlain(request);
        },
        progress);
}

// A JSON value as R holds it: an object as a named list, a list of numbers, texts or flags as a
// vector, any other list as a list; so the record reads in R as its file does.
SEXP jsonValue(const nlohmann::ordered_json& value) {
    if (value.is_object()) {
        Rcpp::List list;
        Rcpp::CharacterVector names;
        for (const auto& [key, entry] : value.items()) {
            list.push_back(jsonValue(entry));
            names.push_back(key);
        }
        list.attr("names") = names;
        return list;
    }
    if (value.is_array()) {
        const auto all = [&value](auto test) { return std::all_of(value.begin(), value.end(), test); };
        if (!value.empty() && all([](const auto& v) { return v.is_number(); }))
            return Rcpp::wrap(value.get<std::vector<double>>());
        if (!value.empty() && all([](const auto& v) { return v.is_boolean(); }))
            return Rcpp::wrap(value.get<std::vector<bool>>());
        if (all([](const auto& v) { return v.is_string(); })) return Rcpp::wrap(value.get<std::vector<std::string>>());
        Rcpp::List list;
        for (const auto& entry : value) list.push_back(jsonValue(entry));
        return list;
    }
    // Counts as doubles: they may pass R's integer range.
    if (value.is_number()) return Rcpp::wrap(value.get<double>());
    if (value.is_boolean()) return Rcpp::wrap(value.get<bool>());
    if (value.is_string()) return Rcpp::wrap(value.get<std::string>());
    return R_NilValue;
}

Rcpp::List runResultList(const quillon::PlainRunResult& result) {
    auto tableOrNull = [](bool has, const quillon::PlainTable& table) -> SEXP {
        return has ? Rcpp::wrap(toDataFrame(table)) : R_NilValue;
    };
    // Counts as doubles: they may pass R's integer range.
    const quillon::RunSummary& run = result.summary;
    const Rcpp::List summary =
        Rcpp::List::create(Rcpp::Named("examinees") = static_cast<double>(run.examinees),
                           Rcpp::Named("tests") = static_cast<double>(run.testsStarted),
                           Rcpp::Named("expected_tests") = static_cast<double>(run.expectedTests),
                           Rcpp::Named("selections") = static_cast<double>(run.selections),
                           Rcpp::Named("candidates_scored") = static_cast<double>(run.candidatesScored),
                           Rcpp::Named("threads") = result.threads, Rcpp::Named("worker_threads") = run.workerThreads);
    return Rcpp::List::create(
        Rcpp::Named("error") = result.error,
        Rcpp::Named("error_kind") = quillon::plainProblemKindName(result.errorKind),
        Rcpp::Named("warnings") = Rcpp::wrap(result.warnings), Rcpp::Named("cancelled") = result.cancelled,
        Rcpp::Named("done") = result.doneMessage,
        Rcpp::Named("results") = tableOrNull(result.error.empty() && !result.cancelled, result.results),
        Rcpp::Named("exposure") = tableOrNull(result.hasExposure, result.exposure),
        Rcpp::Named("stopping") = tableOrNull(result.hasStopping, result.stopping),
        Rcpp::Named("trace") = tableOrNull(result.hasTrace, result.trace),
        Rcpp::Named("confusion") = tableOrNull(result.hasConfusion, result.confusion),
        Rcpp::Named("examinees") = tableOrNull(result.hasExaminees, result.examinees), Rcpp::Named("summary") = summary,
        Rcpp::Named("record") = result.record
                                    ? jsonValue(nlohmann::ordered_json::parse(quillon::runRecordJson(*result.record)))
                                    : R_NilValue);
}

}  // namespace

// The engine's version, which DESCRIPTION's Version must equal (a test holds them so).
// [[Rcpp::export(.engineVersion)]]
std::string engineVersion() { return std::string(quillon::programVersion); }

// [[Rcpp::export(.settingNames)]]
Rcpp::DataFrame settingNames() {
    Rcpp::CharacterVector names, kinds;
    for (const quillon::NamedSetting& setting : quillon::namedRunSettings()) {
        names.push_back(std::string(setting.name));
        switch (setting.kind) {
            case quillon::SettingKind::WholeNumber:
                kinds.push_back("whole number");
                break;
            case quillon::SettingKind::Number:
                kinds.push_back("number");
                break;
            case quillon::SettingKind::Text:
                kinds.push_back("text");
                break;
            case quillon::SettingKind::Flag:
                kinds.push_back("flag");
                break;
        }
    }
    return Rcpp::DataFrame::create(Rcpp::Named("name") = names, Rcpp::Named("kind") = kinds,
                                   Rcpp::Named("stringsAsFactors") = false);
}

// [[Rcpp::export(.run)]]
Rcpp::List run(Rcpp::List request, SEXP progress) { return runResultList(runWatched(toRequest(request), progress)); }

// [[Rcpp::export(.check)]]
Rcpp::List check(Rcpp::List request) {
    const quillon::PlainChecked checked = quillon::checkPlain(toRequest(request));
    return Rcpp::List::create(Rcpp::Named("problem") = checked.problem,
                              Rcpp::Named("problem_kind") = quillon::plainProblemKindName(checked.problemKind),
                              Rcpp::Named("findings") = toDataFrame(checked.findings),
                              Rcpp::Named("text") = checked.text, Rcpp::Named("status") = checked.exitCode);
}

// [[Rcpp::export(.generate)]]
Rcpp::List generate(Rcpp::CharacterVector options, std::string folder) {
    const quillon::PlainGenerated generated = quillon::generatePlain(toPairs(options), folder);
    return Rcpp::List::create(Rcpp::Named("problem") = generated.problem,
                              Rcpp::Named("problem_kind") = quillon::plainProblemKindName(generated.problemKind),
                              Rcpp::Named("pool") = generated.pool, Rcpp::Named("script") = generated.script,
                              Rcpp::Named("enemies") = generated.enemies, Rcpp::Named("data") = generated.data);
}

// A design from R as the layer's value: a named list is a table, an unnamed one an array, a
// vector of one a single value (the layer makes it an array where the file takes one) and a
// longer vector an array. A whole double is a whole number, as R writes 10 for 10L. Returns the
// problem, or empty.
std::string designValue(SEXP value, const std::string& key, quillon::PlainValue& out);

std::string designItem(SEXP vector, R_xlen_t i, const std::string& key, quillon::PlainValue& out) {
    using quillon::PlainValue;
    const std::string missing = "study design, key " + key + ": a study file cannot hold a missing value";
    if (Rf_isFactor(vector)) {
        const int code = INTEGER(vector)[i];
        if (code == NA_INTEGER) return missing;
        out = PlainValue::ofText(Rf_translateCharUTF8(STRING_ELT(Rf_getAttrib(vector, R_LevelsSymbol), code - 1)));
        return {};
    }
    switch (TYPEOF(vector)) {
        case STRSXP:
            if (STRING_ELT(vector, i) == NA_STRING) return missing;
            out = PlainValue::ofText(Rf_translateCharUTF8(STRING_ELT(vector, i)));
            return {};
        case LGLSXP:
            if (LOGICAL(vector)[i] == NA_LOGICAL) return missing;
            out = PlainValue::ofFlag(LOGICAL(vector)[i] != 0);
            return {};
        case INTSXP:
            if (INTEGER(vector)[i] == NA_INTEGER) return missing;
            out = PlainValue::ofWhole(INTEGER(vector)[i]);
            return {};
        case REALSXP: {
            const double x = REAL(vector)[i];
            if (ISNA(x)) return missing;
            out = std::isfinite(x) && x == std::floor(x) && std::fabs(x) <= 9007199254740992.0
                      ? PlainValue::ofWhole(static_cast<std::int64_t>(x))
                      : PlainValue::ofNumber(x);
            return {};
        }
        default:
            break;
    }
    return "study design, key " + key + ": a study file cannot hold a " + Rf_type2char(TYPEOF(vector));
}

std::string designValue(SEXP value, const std::string& key, quillon::PlainValue& out) {
    using quillon::PlainValue;
    if (TYPEOF(value) == VECSXP) {
        const SEXP names = Rf_getAttrib(value, R_NamesSymbol);
        const R_xlen_t n = Rf_xlength(value);
        out = PlainValue{};
        if (names == R_NilValue) out.kind = PlainValue::Kind::List;
        for (R_xlen_t i = 0; i < n; ++i) {
            PlainValue item;
            std::string name;
            if (names != R_NilValue) {
                name = Rf_translateCharUTF8(STRING_ELT(names, i));
                if (name.empty())
                    return "study design: every entry of " + (key.empty() ? "the design" : key) + " needs a name";
            }
            std::string problem = designValue(VECTOR_ELT(value, i), key.empty() ? name : key + "." + name, item);
            if (!problem.empty()) return problem;
            if (names == R_NilValue)
                out.items.push_back(std::move(item));
            else
                out.entries.emplace_back(name, std::move(item));
        }
        return {};
    }
    const R_xlen_t n = Rf_xlength(value);
    if (n == 1) return designItem(value, 0, key, out);
    out = PlainValue{PlainValue::Kind::List, {}, 0, 0, false, {}, {}};
    for (R_xlen_t i = 0; i < n; ++i) {
        PlainValue item;
        std::string problem = designItem(value, i, key, item);
        if (!problem.empty()) return problem;
        out.items.push_back(std::move(item));
    }
    return {};
}

Rcpp::List studyTables(const quillon::PlainStudyTables& tables) {
    return Rcpp::List::create(Rcpp::Named("results") = toDataFrame(tables.results),
                              Rcpp::Named("outcomes") = toDataFrame(tables.outcomes),
                              Rcpp::Named("summary") = toDataFrame(tables.summary),
                              Rcpp::Named("conditions") = toDataFrame(tables.conditions));
}

// [[Rcpp::export(.study)]]
Rcpp::List study(SEXP file, SEXP design, Rcpp::CharacterVector settings, std::vector<std::string> arguments,
                 SEXP progress) {
    quillon::PlainStudyRequest request;
    if (design == R_NilValue) {
        request.file = Rcpp::as<std::string>(file);
    } else {
        quillon::PlainValue value;
        const std::string problem = designValue(design, "", value);
        if (!problem.empty())
            return Rcpp::List::create(
                Rcpp::Named("error") = problem,
                Rcpp::Named("error_kind") = quillon::plainProblemKindName(quillon::PlainProblemKind::Input),
                Rcpp::Named("warnings") = Rcpp::CharacterVector(), Rcpp::Named("cancelled") = false);
        request.design = std::move(value);
        request.scalarsAsArrays = true;
    }
    request.settings = toPairs(settings);
    request.argumentNames = arguments;
    const quillon::PlainStudyResult result = watchedWork(
        [&request](RunWatch& watch) {
            request.progress = [&watch](double done, double total) {
                watch.setPercent(total > 0 ? static_cast<int>(100.0 * done / total) : 0);
            };
            request.cancelled = [&watch] { return watch.cancel.load(); };
            return quillon::studyPlain(request);
        },
        progress);
    const bool ok = result.error.empty() && !result.cancelled;
    return Rcpp::List::create(Rcpp::Named("error") = result.error,
                              Rcpp::Named("error_kind") = quillon::plainProblemKindName(result.errorKind),
                              Rcpp::Named("warnings") = Rcpp::wrap(result.warnings),
                              Rcpp::Named("cancelled") = result.cancelled, Rcpp::Named("output") = result.outputFolder,
                              Rcpp::Named("file") = result.studyFile,
                              Rcpp::Named("tables") = ok ? Rcpp::wrap(studyTables(result.tables)) : R_NilValue);
}

// [[Rcpp::export(.readStudy)]]
Rcpp::List readStudy(std::string folder) {
    const quillon::Outcome<quillon::PlainStudyTables> read = quillon::readStudyTables(folder);
    return Rcpp::List::create(Rcpp::Named("problem") = read ? std::string() : read.failure().message,
                              Rcpp::Named("problem_kind") =
                                  quillon::plainProblemKindName(read ? quillon::PlainProblemKind::None
                                                                     : quillon::plainProblemKind(read.failure().kind)),
                              Rcpp::Named("tables") = read ? Rcpp::wrap(studyTables(*read)) : R_NilValue);
}

// [[Rcpp::export(.readResults)]]
Rcpp::List readResults(std::string path) {
    const quillon::Outcome<quillon::PlainTable> read = quillon::readResults(path);
    return Rcpp::List::create(Rcpp::Named("problem") = read ? std::string() : read.failure().message,
                              Rcpp::Named("problem_kind") =
                                  quillon::plainProblemKindName(read ? quillon::PlainProblemKind::None
                                                                     : quillon::plainProblemKind(read.failure().kind)),
                              Rcpp::Named("table") = read ? Rcpp::wrap(toDataFrame(*read)) : R_NilValue);
}

// [[Rcpp::export(.calibrate)]]
Rcpp::List calibrate(Rcpp::List data, Rcpp::CharacterVector settings, std::vector<std::string> arguments) {
    quillon::PlainCalibrationRequest request;
    request.data = toAnswers(data);
    request.settings = toPairs(settings);
    request.argumentNames = arguments;
    const quillon::PlainCalibrationResult result = quillon::calibratePlain(request);
    const bool ok = result.error.empty();
    return Rcpp::List::create(
        Rcpp::Named("error") = result.error,
        Rcpp::Named("error_kind") = quillon::plainProblemKindName(result.errorKind),
        Rcpp::Named("warnings") = Rcpp::wrap(result.warnings),
        Rcpp::Named("pool") = ok ? Rcpp::wrap(toDataFrame(result.pool)) : R_NilValue,
        Rcpp::Named("calibration") = ok ? Rcpp::wrap(toDataFrame(result.calibration)) : R_NilValue,
        Rcpp::Named("fit") = ok && result.hasFit ? Rcpp::wrap(toDataFrame(result.fit)) : R_NilValue,
        Rcpp::Named("priors") = Rcpp::wrap(result.priors), Rcpp::Named("group_sizes") = Rcpp::wrap(result.groupSizes));
}

// [[Rcpp::export(.score)]]
Rcpp::List score(SEXP pool, SEXP priors, Rcpp::List data, Rcpp::CharacterVector settings,
                 std::vector<std::string> arguments, bool sequential, SEXP orders) {
    quillon::PlainScoreRequest request;
    request.pool = toInput(pool, "pool");
    if (!Rf_isNull(priors)) request.priors = Rcpp::as<std::vector<double>>(priors);
    request.data = toAnswers(data);
    request.settings = toPairs(settings);
    request.argumentNames = arguments;
    request.sequential = sequential;
    if (!Rf_isNull(orders)) {
        const Rcpp::List list(orders);
        for (R_xlen_t e = 0; e < list.size(); ++e) request.itemOrders.push_back(Rcpp::as<std::vector<double>>(list[e]));
    }
    const quillon::PlainScoreResult result = quillon::scorePlain(request);
    return Rcpp::List::create(
        Rcpp::Named("error") = result.error,
        Rcpp::Named("error_kind") = quillon::plainProblemKindName(result.errorKind),
        Rcpp::Named("scores") = result.error.empty() ? Rcpp::wrap(toDataFrame(result.scores)) : R_NilValue);
}
