// quillon._quillon: the plain layer for Python. Tables cross as lists of (name, values) with
// numbers as NumPy arrays; everything else about a run is the layer's.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>

#include "quillon/engine/program_version.h"
#include "quillon/package_core/plain_values.h"
#ifdef QUILLON_LINKS_LIBRARY
#include "quillon/libquillon/library_version.h"
#endif

namespace py = pybind11;

namespace {

// The system's texts are 8-bit; bytes that are not UTF-8 still reach Python, and go back unchanged.
py::str pyText(const std::string& text) {
    PyObject* object = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(object);
}

std::string cText(const py::handle& value) {
    PyObject* bytes = PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape");
    if (bytes == nullptr) throw py::error_already_set();
    const py::bytes owned = py::reinterpret_steal<py::bytes>(bytes);
    return std::string(owned);
}

// [(name, is_text, values)] from the Python side into a plain table.
quillon::PlainTable plainTable(const py::list& columns) {
    quillon::PlainTable table;
    for (const py::handle& item : columns) {
        const py::tuple column = py::reinterpret_borrow<py::tuple>(item);
        quillon::PlainColumn plain;
        plain.name = cText(column[0]);
        plain.isText = column[1].cast<bool>();
        if (plain.isText) {
            for (const py::handle& value : py::reinterpret_borrow<py::sequence>(column[2]))
                plain.texts.push_back(cText(value));
        } else {
            const auto numbers = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(column[2]);
            if (!numbers) throw py::type_error("column " + plain.name + " is not numeric");
            plain.numbers.assign(numbers.data(), numbers.data() + numbers.size());
        }
        table.columns.push_back(std::move(plain));
    }
    return table;
}

// A plain table as [(name, values)]: NumPy arrays for numbers, lists of str for texts.
py::list pyTable(const quillon::PlainTable& table) {
    py::list columns;
    for (const quillon::PlainColumn& column : table.columns) {
        if (column.isText) {
            py::list texts;
            for (const std::string& text : column.texts) texts.append(pyText(text));
            columns.append(py::make_tuple(pyText(column.name), texts));
        } else {
            py::array_t<double> numbers(static_cast<py::ssize_t>(column.numbers.size()));
            std::copy(column.numbers.begin(), column.numbers.end(), numbers.mutable_data());
            // Whole-number columns without a gap become integers, as pandas would read them.
            const bool gap = std::any_of(column.numbers.begin(), column.numbers.end(), [](double x) { return x != x; });
            if (column.whole && !gap)
                columns.append(py::make_tuple(pyText(column.name), numbers.attr("astype")("int64")));
            else
                columns.append(py::make_tuple(pyText(column.name), numbers));
        }
    }
    return columns;
}

quillon::PlainAnswers plainAnswers(const py::dict& data);

// ("path" | "text" | "table" | "answers", value), or None.
quillon::PlainInput plainInput(const py::object& input) {
    if (input.is_none()) return {};
    const py::tuple pair = input.cast<py::tuple>();
    const std::string form = pair[0].cast<std::string>();
    if (form == "path") return quillon::PlainInput::path(cText(pair[1]));
    if (form == "text") return quillon::PlainInput::text(cText(pair[1]));
    if (form == "answers") return quillon::PlainInput::fromAnswers(plainAnswers(pair[1].cast<py::dict>()));
    return quillon::PlainInput::fromTable(plainTable(pair[1].cast<py::list>()));
}

std::vector<std::pair<std::string, std::string>> namedValues(const py::list& pairs) {
    std::vector<std::pair<std::string, std::string>> values;
    for (const py::handle& item : pairs) {
        const py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        values.emplace_back(cText(pair[0]), cText(pair[1]));
    }
    return values;
}

// Runs `work` on a thread of its own while this (the calling) thread, holding the GIL only
// briefly, passes the latest (done, total) to `progress` and looks for Ctrl-C; a Python error from
// either stops the work and is raised once it has ended and cleaned up. `work` gets the function
// that records progress and the flag that asks it to stop.
template <class Count, class Work>
auto runWatched(const py::object& progress, Work work) {
    std::mutex mutex;
    std::optional<std::pair<Count, Count>> latest;
    std::atomic<bool> stop{false};
    const auto record = [&](Count done, Count total) {
        const std::lock_guard<std::mutex> lock(mutex);
        latest.emplace(done, total);
    };
    std::optional<py::error_already_set> raised;
    std::exception_ptr failed;  // anything else a callback threw
    std::future<decltype(work(record, stop))> running;
    {
        py::gil_scoped_release released;
        running = std::async(std::launch::async, [&] { return work(record, stop); });
        bool ended = false;
        while (!ended) {
            ended = running.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready;
            std::optional<std::pair<Count, Count>> report;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                report.swap(latest);
            }
            if (raised || failed) continue;
            py::gil_scoped_acquire held;
            try {
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
                if (report && !progress.is_none()) progress(report->first, report->second);
            } catch (py::error_already_set& error) {
                raised.emplace(std::move(error));
                stop = true;
            } catch (...) {
                failed = std::current_exception();
                stop = true;
            }
        }
    }
    auto result = running.get();
    if (raised) throw std::move(*raised);
    if (failed) std::rethrow_exception(failed);
    return result;
}

// What every call that can be refused returns: its error, with the error's kind for the
// package's one mapping from kinds to exception classes.
py::dict refusal(const std::string& error, quillon::PlainProblemKind kind) {
    py::dict out;
    out["error"] = pyText(error);
    out["error_kind"] = quillon::plainProblemKindName(kind);
    return out;
}

// What every watched call returns first: its error, its warnings and whether it was cancelled.
template <class Result>
py::dict outcome(const Result& result) {
    py::dict out = refusal(result.error, result.errorKind);
    py::list warnings;
    for (const std::string& w : result.warnings) warnings.append(pyText(w));
    out["warnings"] = warnings;
    out["cancelled"] = result.cancelled;
    return out;
}

std::vector<std::string> texts(const py::list& values) {
    std::vector<std::string> out;
    for (const py::handle& value : values) out.push_back(cText(value));
    return out;
}

py::dict studyTables(const quillon::PlainStudyTables& tables) {
    py::dict out;
    out["results"] = pyTable(tables.results);
    out["outcomes"] = pyTable(tables.outcomes);
    out["summary"] = pyTable(tables.summary);
    out["conditions"] = pyTable(tables.conditions);
    return out;
}

py::dict runModule(const py::list& settings, const py::list& arguments, const py::dict& inputs,
                   const py::object& priors, const py::dict& reports, const py::object& progress) {
    quillon::PlainRunRequest request;
    request.settings = namedValues(settings);
    request.argumentNames = texts(arguments);
    request.pool = plainInput(inputs["pool"]);
    request.data = plainInput(inputs["data"]);
    request.script = plainInput(inputs["script"]);
    request.enemies = plainInput(inputs["enemies"]);
    if (!priors.is_none()) request.priors = priors.cast<std::vector<double>>();
    request.trace = reports["trace"].cast<bool>();
    request.tracePath = cText(reports["trace_path"]);
    request.stopping = reports["stopping"].cast<bool>();
    request.stoppingPath = cText(reports["stopping_path"]);
    request.confusion = reports["confusion"].cast<bool>();
    request.confusionPath = cText(reports["confusion_path"]);
    request.examinees = reports["examinees"].cast<bool>();
    request.examineesPath = cText(reports["examinees_path"]);

    const quillon::PlainRunResult result =
        runWatched<std::int64_t>(progress, [&request](const auto& record, const std::atomic<bool>& stop) {
            request.progress = [&record](const quillon::ProgressReport& report) {
                record(report.testsStarted, report.expectedTests);
            };
            request.cancelled = [&stop] { return stop.load(); };
            return quillon::runPlain(request);
        });
    py::dict out = outcome(result);
    out["done"] = pyText(result.doneMessage);
    out["results"] = pyTable(result.results);
    if (result.hasExposure) out["exposure"] = pyTable(result.exposure);
    if (result.hasStopping) out["stopping"] = pyTable(result.stopping);
    if (result.hasConfusion) out["confusion"] = pyTable(result.confusion);
    if (result.hasTrace) out["trace"] = pyTable(result.trace);
    if (result.hasExaminees) out["examinees"] = pyTable(result.examinees);
    const quillon::RunSummary& run = result.summary;
    py::dict summary;
    summary["examinees"] = run.examinees;
    summary["tests"] = run.testsStarted;
    summary["expected_tests"] = run.expectedTests;
    summary["selections"] = run.selections;
    summary["candidates_scored"] = run.candidatesScored;
    summary["threads"] = result.threads;
    summary["worker_threads"] = run.workerThreads;
    out["summary"] = summary;
    // As its JSON text: the record is the file's document, so Python reads it with json as a file would be.
    if (result.record) out["record"] = pyText(quillon::runRecordJson(*result.record));
    return out;
}

py::dict checkModule(const py::list& settings, const py::list& arguments, const py::dict& inputs,
                     const py::object& priors) {
    quillon::PlainRunRequest request;
    request.settings = namedValues(settings);
    request.argumentNames = texts(arguments);
    request.pool = plainInput(inputs["pool"]);
    request.data = plainInput(inputs["data"]);
    request.script = plainInput(inputs["script"]);
    request.enemies = plainInput(inputs["enemies"]);
    if (!priors.is_none()) request.priors = priors.cast<std::vector<double>>();
    quillon::PlainChecked checked;
    {
        py::gil_scoped_release released;
        checked = quillon::checkPlain(request);
    }
    py::dict out = refusal(checked.problem, checked.problemKind);
    out["findings"] = pyTable(checked.findings);
    out["text"] = pyText(checked.text);
    out["exit_code"] = checked.exitCode;
    return out;
}

py::dict generateModule(const py::list& options, const std::string& folder) {
    quillon::PlainGenerated generated;
    const auto named = namedValues(options);
    {
        py::gil_scoped_release released;
        generated = quillon::generatePlain(named, folder);
    }
    py::dict out = refusal(generated.problem, generated.problemKind);
    out["pool"] = pyText(generated.pool);
    out["script"] = pyText(generated.script);
    out["enemies"] = pyText(generated.enemies);
    out["data"] = pyText(generated.data);
    return out;
}

// A design from Python (already plain: dict, list, str, bool, int, float) as the layer's value;
// a TypeError names the key of anything else.
quillon::PlainValue plainValue(const py::handle& value, const std::string& key) {
    using quillon::PlainValue;
    if (py::isinstance<py::dict>(value)) {
        PlainValue table;
        for (const auto& [name, entry] : py::reinterpret_borrow<py::dict>(value)) {
            if (!py::isinstance<py::str>(name)) throw py::type_error("study design: a key is not a text under " + key);
            const std::string text = cText(name);
            table.entries.emplace_back(text, plainValue(entry, key.empty() ? text : key + "." + text));
        }
        return table;
    }
    if (py::isinstance<py::list>(value)) {
        PlainValue list{PlainValue::Kind::List, {}, 0, 0, false, {}, {}};
        for (const py::handle& item : py::reinterpret_borrow<py::list>(value))
            list.items.push_back(plainValue(item, key));
        return list;
    }
    if (py::isinstance<py::str>(value)) return PlainValue::ofText(cText(value));
    if (py::isinstance<py::bool_>(value)) return PlainValue::ofFlag(value.cast<bool>());
    if (py::isinstance<py::int_>(value)) {
        int overflow = 0;
        const long long whole = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow != 0) throw py::value_error("study design, key " + key + ": the number is too large");
        return PlainValue::ofWhole(whole);
    }
    if (py::isinstance<py::float_>(value)) return PlainValue::ofNumber(value.cast<double>());
    throw py::type_error("study design, key " + key + ": a study file cannot hold a " +
                         std::string(py::str(value.get_type().attr("__name__"))));
}

py::dict studyModule(const py::object& file, const py::object& design, const py::list& settings,
                     const py::list& arguments, const py::object& progress) {
    quillon::PlainStudyRequest request;
    if (design.is_none())
        request.file = cText(file);
    else
        request.design = plainValue(design, "");
    request.settings = namedValues(settings);
    request.argumentNames = texts(arguments);
    const quillon::PlainStudyResult result =
        runWatched<double>(progress, [&request](const auto& record, const std::atomic<bool>& stop) {
            request.progress = record;
            request.cancelled = [&stop] { return stop.load(); };
            return quillon::studyPlain(request);
        });
    py::dict out = outcome(result);
    out["output"] = pyText(result.outputFolder);
    out["file"] = pyText(result.studyFile);
    out["tables"] = studyTables(result.tables);
    return out;
}

py::dict readStudyModule(const std::string& folder) {
    const quillon::Outcome<quillon::PlainStudyTables> read = quillon::readStudyTables(folder);
    py::dict out = refusal(read ? std::string() : read.failure().message,
                           read ? quillon::PlainProblemKind::None : quillon::plainProblemKind(read.failure().kind));
    out["tables"] = studyTables(read ? *read : quillon::PlainStudyTables{});
    return out;
}

py::dict readModule(const std::string& path) {
    const quillon::Outcome<quillon::PlainTable> read = quillon::readResults(path);
    py::dict out = refusal(read ? std::string() : read.failure().message,
                           read ? quillon::PlainProblemKind::None : quillon::plainProblemKind(read.failure().kind));
    out["table"] = pyTable(read ? *read : quillon::PlainTable{});
    return out;
}

std::vector<double> numbersOf(const py::handle& values) {
    const auto numbers = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!numbers) throw py::type_error("expected numbers");
    return std::vector<double>(numbers.data(), numbers.data() + numbers.size());
}

// Response data prepared by the package: {"form": "paths" | "text" | "matrix", the form's value,
// and optional "groups", "examinee_ids", "items" and "collections"}.
quillon::PlainAnswers plainAnswers(const py::dict& data) {
    quillon::PlainAnswers answers;
    const std::string form = data["form"].cast<std::string>();
    if (form == "paths") {
        answers.form = quillon::PlainAnswers::Form::Paths;
        answers.paths = texts(data["paths"].cast<py::list>());
    } else if (form == "text") {
        answers.form = quillon::PlainAnswers::Form::Text;
        answers.text = cText(data["text"]);
    } else {
        answers.form = quillon::PlainAnswers::Form::Matrix;
        const auto matrix = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(data["matrix"]);
        if (!matrix || matrix.ndim() != 2) throw py::type_error("data: a matrix must be a 2-D array of numbers");
        answers.rows = static_cast<std::size_t>(matrix.shape(0));
        answers.columns = static_cast<std::size_t>(matrix.shape(1));
        answers.cells.assign(matrix.data(), matrix.data() + matrix.size());
    }
    const auto optional = [&data](const char* key) {
        return data.contains(key) && !data[key].is_none() ? py::object(data[key]) : py::object();
    };
    if (const py::object groups = optional("groups")) answers.groups = numbersOf(groups);
    if (const py::object ids = optional("examinee_ids")) answers.examineeIds = texts(ids.cast<py::list>());
    if (const py::object items = optional("items")) answers.itemIds = texts(items.cast<py::list>());
    if (const py::object collections = optional("collections")) answers.collections = numbersOf(collections);
    return answers;
}

py::dict calibrateModule(const py::dict& data, const py::list& settings, const py::list& arguments) {
    quillon::PlainCalibrationRequest request;
    request.data = plainAnswers(data);
    request.settings = namedValues(settings);
    request.argumentNames = texts(arguments);
    quillon::PlainCalibrationResult result;
    {
        py::gil_scoped_release released;
        result = quillon::calibratePlain(request);
    }
    py::dict out = refusal(result.error, result.errorKind);
    py::list warnings;
    for (const std::string& w : result.warnings) warnings.append(pyText(w));
    out["warnings"] = warnings;
    out["pool"] = pyTable(result.pool);
    out["calibration"] = pyTable(result.calibration);
    out["fit"] = result.hasFit ? py::object(pyTable(result.fit)) : py::object(py::none());
    out["priors"] = result.priors;
    out["group_sizes"] = result.groupSizes;
    return out;
}

py::dict scoreModule(const py::object& pool, const py::object& priors, const py::dict& data, const py::list& settings,
                     const py::list& arguments, bool sequential, const py::object& orders) {
    quillon::PlainScoreRequest request;
    request.pool = plainInput(pool);
    if (!priors.is_none()) request.priors = priors.cast<std::vector<double>>();
    request.data = plainAnswers(data);
    request.settings = namedValues(settings);
    request.argumentNames = texts(arguments);
    request.sequential = sequential;
    if (!orders.is_none()) {
        for (const py::handle& order : orders.cast<py::list>()) request.itemOrders.push_back(numbersOf(order));
    }
    quillon::PlainScoreResult result;
    {
        py::gil_scoped_release released;
        result = quillon::scorePlain(request);
    }
    py::dict out = refusal(result.error, result.errorKind);
    out["scores"] = pyTable(result.scores);
    return out;
}

}  // namespace

PYBIND11_MODULE(_quillon, m) {
    m.doc() = "Quillon's plain layer; use the functions of the quillon package.";
    // The package's __version__ comes from here, so that it is always the engine's own.
    m.attr("__version__") = std::string(quillon::programVersion);
    // The shared library's own version, which may be a later 1.x; None when the engine is compiled in.
#ifdef QUILLON_LINKS_LIBRARY
    m.attr("library_version") = std::string(quillon::libraryVersion());
#else
    m.attr("library_version") = py::none();
#endif
    m.def("run", &runModule, "One run: a dict with the error, warnings, Done message and tables as columns.");
    m.def("check", &checkModule, "The checker's findings as columns, with its report text.");
    m.def("generate", &generateModule, "Writes the four sample files; their paths, or the error.");
    m.def("study", &studyModule,
          "A study file or design run here: a dict with the error, warnings, output folder, study file and tables.");
    m.def("read_study", &readStudyModule, "A finished study's four tables as columns, or the error.");
    m.def("read", &readModule, "A table the runner wrote, as columns, or the error.");
    m.def("calibrate", &calibrateModule, "A pool estimated from pilot answers: its tables as columns, or the error.");
    m.def("score", &scoreModule, "Real examinees classified with a pool: the score table as columns, or the error.");
}
