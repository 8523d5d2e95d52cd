#include "quillon/exposure_calibration/exposure_calibration.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string_view>
#include <utility>

#include "quillon/engine/exposure_control.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/simulation.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"

namespace quillon {

namespace {

// The pool's first probability column (E): the loader looks for the parameters' header from here on.
constexpr std::size_t firstProbabilityField = 5;

// One line of a text with the bytes that ended it, so that the text can be put back as it was.
struct TextLine {
    std::string text;
    std::string end;
};

// The lines by the loader's rules (CR, CR LF or LF end a line; 0x1A ends the text), and whatever
// follows the end of the text, kept as it is.
struct SplitText {
    std::vector<TextLine> lines;
    std::string tail;
};

SplitText splitKeepingEnds(std::string_view bytes) {
    SplitText split;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t stop = at;
        while (stop < bytes.size() && bytes[stop] != '\r' && bytes[stop] != '\n' && bytes[stop] != '\x1a') ++stop;
        TextLine line{std::string(bytes.substr(at, stop - at)), {}};
        if (stop == bytes.size()) {
            split.lines.push_back(std::move(line));
            break;
        }
        if (bytes[stop] == '\x1a') {
            if (stop > at) split.lines.push_back(std::move(line));
            split.tail = std::string(bytes.substr(stop));
            break;
        }
        std::size_t next = stop + 1;
        if (bytes[stop] == '\r' && next < bytes.size() && bytes[next] == '\n') ++next;
        line.end = std::string(bytes.substr(stop, next - stop));
        split.lines.push_back(std::move(line));
        at = next;
    }
    return split;
}

// The line with its field `field` (1-based) replaced by `text`, or, when the line is shorter,
// reached through empty fields; refused when the loader would not read `text` back there (an
// unclosed quote swallows the rest of a line).
std::string withField(const std::string& line, std::size_t field, const std::string& text, std::size_t lineNumber,
                      const std::string& poolName) {
    const std::vector<CsvField> fields = csvFieldsWithColumns(line);
    std::string changed;
    if (fields.size() < field) {
        changed = line + std::string(field - fields.size(), ',') + text;
    } else {
        const std::size_t start = fields[field - 1].column - 1;
        const std::size_t stop = field < fields.size() ? line.rfind(',', fields[field].column - 2) : line.size();
        changed = line.substr(0, start) + text + line.substr(stop);
    }
    const std::vector<std::string> read = csvFields(changed);
    if (read.size() < field || trimSpaces(read[field - 1]) != text)
        throw InputError("Pool file " + upperName(poolName) + " line " + std::to_string(lineNumber) +
                         " cannot take an " + std::string(exposureParameterHeader) +
                         " cell: its fields do not end where they should.");
    return changed;
}

// The last column from E on whose header is the parameters' name, as the loader finds it; 0 for none.
std::size_t parameterColumn(const std::string& header) {
    const std::vector<std::string> fields = csvFields(header);
    std::size_t found = 0;
    for (std::size_t f = firstProbabilityField; f <= fields.size(); ++f)
        if (trimSpaces(fields[f - 1]) == exposureParameterHeader) found = f;
    return found;
}

// Counts, per item, the tests that selected it (given or set aside) and the tests that gave it.
class SelectionCounter : public ReplayListener {
public:
    explicit SelectionCounter(std::int32_t itemCount)
        : selected(static_cast<std::size_t>(itemCount), 0),
          administered(static_cast<std::size_t>(itemCount), 0),
          lastTest_(static_cast<std::size_t>(itemCount), 0) {}

    void testTaken(const ExamineeLine&, std::int32_t, const TestRecord& test) override {
        ++tests;
        for (const PositionOutcome& position : test.positions)
            if (noteSelected(position.item)) ++administered[static_cast<std::size_t>(position.item - 1)];
        for (const std::int32_t item : test.setAside) noteSelected(item);
    }

    std::vector<std::int64_t> selected;
    std::vector<std::int64_t> administered;
    std::int64_t tests = 0;

private:
    // An item set aside and later given in the same test was selected in one test, not two.
    bool noteSelected(std::int32_t item) {
        if (item < 1 || static_cast<std::size_t>(item) > selected.size()) return false;
        const auto at = static_cast<std::size_t>(item - 1);
        if (lastTest_[at] != tests) {
            lastTest_[at] = tests;
            ++selected[at];
        }
        return true;
    }

    std::vector<std::int64_t> lastTest_;  // the last test (1-based) that selected the item
};

// The host each simulation runs under: its progress and cancel are the caller's, its messages
// are kept as the failure to report, and its Done message is not the calibration's.
class SimulationHost : public RunHost {
public:
    SimulationHost(RunHost& outer, std::int32_t iteration) : outer_(outer), iteration_(iteration) {}

    void showMessage(const std::string& text) override { messages += (messages.empty() ? "" : "\r\n") + text; }
    void showDone(const std::string&) override {}
    ProgressHandle progressInit(const std::string&) override {
        return outer_.progressInit("Exposure Calibration, iteration " + std::to_string(iteration_));
    }
    void progressSet(ProgressHandle handle, const ProgressReport& report) override {
        outer_.progressSet(handle, report);
    }
    void letMessagesRun() override { outer_.letMessagesRun(); }
    bool progressIsCancelled(ProgressHandle handle) override { return outer_.progressIsCancelled(handle); }
    void progressShutdown(ProgressHandle handle) override { outer_.progressShutdown(handle); }

    std::string messages;

private:
    RunHost& outer_;
    std::int32_t iteration_;
};

Failure usage(std::string message) { return Failure{FailureKind::Usage, std::move(message)}; }

}  // namespace

double monteCarloTolerance(double maxExposure, std::int64_t tests) {
    if (tests <= 0) return 0.0;
    return 3.0 * std::sqrt(maxExposure * (1.0 - maxExposure) / static_cast<double>(tests));
}

Outcome<ExposureCalibration> calibrateExposure(const RunSettings& settings, const ExposureCalibrationOptions& options,
                                               RunHost& host) {
    if (options.maxIterations < 1) return usage("The calibration needs at least 1 iteration.");
    if (!(options.tolerance >= 0.0 && options.tolerance < 1.0))
        return usage("The tolerance " + formatRoundTrip(options.tolerance) + " must lie from 0 up to 1.");
    // The simulations write no table: only their counts matter.
    RunSettings simulated = settings;
    simulated.exposureControl = ExposureControl::SympsonHetter;
    simulated.resultsFile.clear();
    simulated.saveExposure = false;
    if (Status checked = checkRunSettings(simulated); !checked) return checked.failure();
    Outcome<InputFiles> loaded = catchFailure([&] { return loadRunInputs(simulated); });
    if (!loaded) return loaded.failure();
    const std::int32_t itemCount = loaded->pool.itemCount;
    const double bound = simulated.maxExposure;

    ExposureCalibration result;
    result.tolerance = options.tolerance;
    std::vector<double> parameters(static_cast<std::size_t>(itemCount), 1.0);
    for (std::int32_t iteration = 1; iteration <= options.maxIterations; ++iteration) {
        InputFiles inputs = *loaded;
        inputs.pool.exposureParameter = parameters;
        Outcome<PreparedRun> prepared =
            prepareRun(simulated, std::move(inputs), std::make_unique<LineReader>(simulated.responseFile));
        if (!prepared) return prepared.failure();
        SelectionCounter counter(itemCount);
        SimulationHost simulationHost(host, iteration);
        RandomGenerator random(options.seed);  // the same draws every time: only K changes the rates
        const RunSummary summary =
            runPrepared(simulated, *prepared, random, simulationHost, {options.threadCount, &counter});
        if (summary.cancelled) return Failure{FailureKind::Cancelled, "The exposure calibration was cancelled."};
        if (!summary.completed || !simulationHost.messages.empty())
            return Failure{FailureKind::Input,
                           simulationHost.messages.empty()
                               ? "The simulation of iteration " + std::to_string(iteration) + " did not complete."
                               : simulationHost.messages};
        if (counter.tests == 0) return Failure{FailureKind::Input, "The data file has no examinee to simulate."};

        if (iteration == 1 && options.toleranceFromTests) result.tolerance = monteCarloTolerance(bound, counter.tests);
        const double tests = static_cast<double>(counter.tests);
        ExposureCalibrationStep step;
        step.iteration = iteration;
        for (std::size_t i = 0; i < parameters.size(); ++i) {
            step.maxSelectionRate = std::max(step.maxSelectionRate, static_cast<double>(counter.selected[i]) / tests);
            step.maxExposureRate = std::max(step.maxExposureRate, static_cast<double>(counter.administered[i]) / tests);
        }
        const bool converged = step.maxExposureRate <= bound + result.tolerance;
        const bool last = converged || iteration == options.maxIterations;
        if (!last) {
            // P(given) = P(selected) × K: holding each item's selection rate, K = R / P(selected)
            // brings its rate to R.
            for (std::size_t i = 0; i < parameters.size(); ++i) {
                const double selection = static_cast<double>(counter.selected[i]) / tests;
                parameters[i] = selection > bound ? std::min(1.0, bound / selection) : 1.0;
            }
        }
        step.itemsLimited = static_cast<std::int32_t>(
            std::count_if(parameters.begin(), parameters.end(), [](double k) { return k < 1.0; }));
        result.steps.push_back(step);
        if (options.stepDone) options.stepDone(step);
        if (last) {
            result.converged = converged;
            result.finalMaxExposureRate = step.maxExposureRate;
            result.tests = counter.tests;
            result.itemsAtBound = static_cast<std::int32_t>(std::count_if(
                counter.administered.begin(), counter.administered.end(),
                [&](std::int64_t given) { return static_cast<double>(given) / tests >= bound - result.tolerance; }));
            break;
        }
    }
    result.parameters = std::move(parameters);
    return result;
}

Outcome<std::string> poolWithExposureParameters(const std::string& poolText, const RunSettings& settings,
                                                const std::vector<double>& parameters) {
    return catchFailure([&]() -> std::string {
        const std::string& name = settings.poolFile;
        const ItemPool pool = parsePool(poolText, settings, name);
        if (parameters.size() != static_cast<std::size_t>(pool.itemCount))
            throw FailureError(FailureKind::Usage, std::to_string(parameters.size()) +
                                                       " exposure parameters for a pool of " +
                                                       std::to_string(pool.itemCount) + " items.");
        for (const double k : parameters)
            if (!(k >= 0.0 && k <= 1.0))
                throw FailureError(FailureKind::Usage,
                                   "Exposure parameter " + formatRoundTrip(k) + " is not a number from 0 to 1.");

        SplitText split = splitKeepingEnds(poolText);
        std::vector<TextLine>& lines = split.lines;
        std::size_t column = parameterColumn(lines[0].text);
        const bool added = column == 0;
        if (added) {
            // After every field any line has, so that no row loses a cell to the new column.
            std::size_t widest = std::max(firstProbabilityField - 1, csvFields(lines[0].text).size());
            for (std::size_t row = 3; row < lines.size(); ++row)
                widest = std::max(widest, csvFields(lines[row].text).size());
            column = widest + 1;
            lines[0].text = withField(lines[0].text, column, std::string(exposureParameterHeader), 1, name);
        }
        std::size_t next = 0;
        for (std::size_t row = 3; row < lines.size(); ++row) {
            const std::vector<std::string> fields = csvFields(lines[row].text);
            const bool dropped = settings.dropItems && fields.size() >= 4 && trimSpaces(fields[3]) == "1";
            if (dropped && !added) continue;
            const std::string k = dropped ? std::string("1") : formatRoundTrip(parameters[next++]);
            lines[row].text = withField(lines[row].text, column, k, row + 1, name);
        }
        std::string text;
        text.reserve(poolText.size() + lines.size() * 8);
        for (const TextLine& line : lines) text += line.text + line.end;
        return text + split.tail;
    });
}

}  // namespace quillon
