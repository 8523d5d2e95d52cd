#include "differential.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/simulation.h"
#include "reference.h"

namespace quillon::reference {
namespace {

// splitmix64: a small generator whose output is the same on every platform and library.
class CaseRandom {
public:
    explicit CaseRandom(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::int32_t between(std::int32_t lo, std::int32_t hi) {
        return lo + static_cast<std::int32_t>(next() % static_cast<std::uint64_t>(hi - lo + 1));
    }
    bool chance(std::int32_t numerator, std::int32_t denominator) { return between(1, denominator) <= numerator; }
    template <typename T>
    const T& pick(const std::vector<T>& from) {
        return from[static_cast<std::size_t>(between(0, static_cast<std::int32_t>(from.size()) - 1))];
    }

private:
    std::uint64_t state_;
};

// A probability in thousandths written as a pool file would have it.
std::string thousandths(std::int32_t value, bool leadingZero) {
    if (value <= 0) return "0";
    if (value >= 1000) return "1";
    char text[16];
    std::snprintf(text, sizeof text, "%s.%03d", leadingZero ? "0" : "", value);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    return s;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string bitsOf(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
    return text;
}

bool sameBits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

std::string vectorText(const std::vector<double>& values) {
    std::string text = "(";
    for (std::size_t g = 0; g < values.size(); ++g) {
        text += (g ? ", " : "") + number(values[g]) + " [" + bitsOf(values[g]) + "]";
    }
    return text + ")";
}

// The engine side of an item-by-item replay.
class TraceRecorder : public PositionObserver {
public:
    void positionDone(const PositionDetail& detail) override {
        traces.push_back(
            PositionTrace{detail.test, detail.position, detail.collection, detail.answer, detail.posterior->values()});
        outcomes.push_back(*detail.outcome);
    }
    std::vector<PositionTrace> traces;
    std::vector<PositionOutcome> outcomes;
};

std::string outcomeText(const PositionOutcome& o) {
    return "item " + std::to_string(o.item) + ", MAP " + std::to_string(o.mapGroup) + " (" + number(o.mapProb) +
           "), SPRT " + std::to_string(o.sprtGroup) + ", Bayes " + std::to_string(o.bayesGroup) + " (" +
           number(o.bayesProb) + ")";
}

bool sameOutcome(const PositionOutcome& a, const PositionOutcome& b) {
    return a.item == b.item && a.mapGroup == b.mapGroup && a.sprtGroup == b.sprtGroup && a.bayesGroup == b.bayesGroup &&
           sameBits(a.mapProb, b.mapProb) && sameBits(a.bayesProb, b.bayesProb);
}

std::string testText(const TestRecord& test) {
    std::string text = std::to_string(test.positions.size()) + " positions";
    if (test.failed) text += ", failed in collection " + std::to_string(test.failedCollection);
    for (std::int32_t n : test.icolErrorPositions) text += ", icol error at " + std::to_string(n);
    return text;
}

// The first difference between two replays of one examinee, or empty.
std::string examineeDifference(const ExamineeOutcome& engine, const ExamineeOutcome& ref, const TraceRecorder& recorder,
                               const std::vector<PositionTrace>& refTraces) {
    // Traces first: they carry the posterior, the earliest place a difference shows.
    const std::size_t common = std::min(recorder.traces.size(), refTraces.size());
    for (std::size_t k = 0; k < common; ++k) {
        const PositionTrace& e = recorder.traces[k];
        const PositionTrace& r = refTraces[k];
        const std::string where = "test " + std::to_string(r.test) + ", position " + std::to_string(r.position);
        if (e.test != r.test || e.position != r.position) {
            return "administered item " + std::to_string(k + 1) + ": engine at test " + std::to_string(e.test) +
                   " position " + std::to_string(e.position) + ", reference at " + where;
        }
        if (e.collection != r.collection) {
            return where + ": collection engine " + std::to_string(e.collection) + ", reference " +
                   std::to_string(r.collection);
        }
        const PositionOutcome& eo = recorder.outcomes[k];
        std::size_t test = static_cast<std::size_t>(r.test) - 1;
        const PositionOutcome& ro = ref.tests[test].positions[static_cast<std::size_t>(r.position) - 1];
        if (eo.item != ro.item) {
            return where + ": item engine " + std::to_string(eo.item) + ", reference " + std::to_string(ro.item);
        }
        if (e.answer != r.answer) {
            return where + ": answer engine " + std::to_string(e.answer) + ", reference " + std::to_string(r.answer);
        }
        bool same = e.posterior.size() == r.posterior.size();
        for (std::size_t g = 0; same && g < r.posterior.size(); ++g) same = sameBits(e.posterior[g], r.posterior[g]);
        if (!same) {
            return where + " (item " + std::to_string(ro.item) + "): posterior after the update\n  engine    " +
                   vectorText(e.posterior) + "\n  reference " + vectorText(r.posterior);
        }
        if (!sameOutcome(eo, ro)) {
            return where + ": decisions\n  engine    " + outcomeText(eo) + "\n  reference " + outcomeText(ro);
        }
    }
    if (recorder.traces.size() != refTraces.size()) {
        return "the engine administered " + std::to_string(recorder.traces.size()) + " items, the reference " +
               std::to_string(refTraces.size());
    }
    if (engine.trueGroup != ref.trueGroup) {
        return "true group engine " + std::to_string(engine.trueGroup) + ", reference " + std::to_string(ref.trueGroup);
    }
    if (engine.tests.size() != ref.tests.size()) {
        return "tests: engine " + std::to_string(engine.tests.size()) + ", reference " +
               std::to_string(ref.tests.size());
    }
    for (std::size_t t = 0; t < ref.tests.size(); ++t) {
        const TestRecord& e = engine.tests[t];
        const TestRecord& r = ref.tests[t];
        bool same = e.failed == r.failed && e.failedCollection == r.failedCollection &&
                    e.icolErrorPositions == r.icolErrorPositions && e.positions.size() == r.positions.size();
        for (std::size_t n = 0; same && n < r.positions.size(); ++n) same = sameOutcome(e.positions[n], r.positions[n]);
        if (!same) {
            return "test " + std::to_string(t + 1) + ": engine " + testText(e) + "; reference " + testText(r);
        }
    }
    return {};
}

InputFiles loadCase(const DifferentialCase& testCase, const RunSettings& settings) {
    InputFiles inputs;
    inputs.pool = parsePool(testCase.pool, settings, "POOL.CSV");
    if (!settings.uniformPriors) {
        double sum = 0.0;
        for (double prior : inputs.pool.groupPrior) sum += prior;
        if (!(sum > 0.0)) throw InputError("no group priors");
    }
    if (settings.blockEnemies) inputs.enemySets = parseEnemies(testCase.enemies, inputs.pool, "ENEMIES.CSV");
    if (settings.followScript) inputs.script = parseScript(testCase.script, settings, "SCRIPT.CSV");
    return inputs;
}

// Records what a run tells its user; never cancels, so only the run's own rules stop it.
class QuietHost : public RunHost {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
    void showDone(const std::string&) override { done = true; }
    ProgressHandle progressInit(const std::string&) override {
        open = true;
        return 1;
    }
    void progressSet(ProgressHandle, const ProgressReport&) override {}
    bool progressIsCancelled(ProgressHandle) override { return !open; }
    void progressShutdown(ProgressHandle) override { open = false; }

    std::vector<std::string> messages;
    bool done = false;
    bool open = false;
};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The first line where two tables part, for a readable report.
std::string tableDifference(const std::string& what, const std::string& engine, const std::string& ref) {
    const std::vector<std::string> e = splitLines(engine);
    const std::vector<std::string> r = splitLines(ref);
    for (std::size_t k = 0; k < std::max(e.size(), r.size()); ++k) {
        const std::string el = k < e.size() ? e[k] : "(none)";
        const std::string rl = k < r.size() ? r[k] : "(none)";
        if (el != rl) {
            return what + " line " + std::to_string(k + 1) + "\n  engine    " + el + "\n  reference " + rl;
        }
    }
    return what + " differs in its bytes (line ends)";
}

}  // namespace

std::uint64_t caseSeed(std::uint64_t seed, std::uint64_t index) {
    CaseRandom mix(seed * 0x100000001B3ull + index);
    return mix.next();
}

DifferentialCase makeCase(std::uint64_t seed, const CaseShape& shape) {
    CaseRandom rnd(seed);
    DifferentialCase c;
    c.seed = seed;
    RunSettings& s = c.settings;
    const std::int32_t groups = rnd.between(shape.minGroups, shape.maxGroups);
    s.groupCount = groups;
    s.selectionMethod = selectionMethodFromName(rnd.pick(shape.methods)).value();
    s.uniformPriors = rnd.chance(1, 2);
    s.maxTestLength = rnd.between(1, shape.wide ? 20 : 6);
    s.testsPerPerson = rnd.between(1, shape.wide ? 5 : 3);
    s.randomizationFactor = rnd.chance(1, 10) ? 0 : rnd.between(1, 5);
    s.followScript = rnd.chance(1, 3);
    s.blockEnemies = rnd.chance(1, 3);
    s.dropItems = rnd.chance(1, 3);
    s.saveExposure = true;
    if (rnd.chance(1, 2)) {
        const std::vector<double> costs{0.0, 0.5, 1.0, 1.5, 2.0, -1.0};
        s.costPassPass = rnd.pick(costs);
        s.costPassFail = rnd.pick(costs);
        s.costFailPass = rnd.pick(costs);
        s.costFailFail = rnd.pick(costs);
    }
    // 0.2 and 0.5 put the SPRT bounds on ratios that dyadic probabilities reach exactly.
    const std::vector<double> rates{0.01, 0.05, 0.1, 0.2, 0.3, 0.5};
    if (rnd.chance(1, 4)) {
        s.sprtAlpha = rnd.pick(rates);
        s.sprtBeta = rnd.pick(rates);
    } else if (rnd.chance(1, 3)) {
        // Bounds 4 and 1/4, or 1 and 1: ratios of equal or dyadic posteriors land on them.
        s.sprtAlpha = s.sprtBeta = rnd.chance(1, 2) ? 0.2 : 0.5;
    }
    c.generatorState = rnd.chance(1, 4) ? RandomGenerator::defaultSeed : static_cast<std::uint32_t>(rnd.next());

    // Collections: a few labels, now and then 0 (never in the deck) or 9 (a collection error).
    std::vector<std::int32_t> labels;
    const std::int32_t collectionCount = rnd.between(1, 4);
    while (static_cast<std::int32_t>(labels.size()) < collectionCount) {
        std::int32_t label = rnd.between(1, 4);
        if (rnd.chance(1, 8)) label = 0;
        if (rnd.chance(1, 25)) label = 9;
        if (std::find(labels.begin(), labels.end(), label) == labels.end()) labels.push_back(label);
    }

    // Items share rows of probabilities, so their scores tie.
    const std::int32_t items = shape.large ? rnd.between(1000, 10000) : rnd.between(5, shape.wide ? 260 : 40);
    const std::int32_t rowCount = rnd.between(1, std::max(2, items / 3));
    std::vector<std::vector<std::int32_t>> rows;
    for (std::int32_t k = 0; k < rowCount; ++k) {
        std::vector<std::int32_t> row;
        const std::int32_t shared = rnd.between(1, 999);
        for (std::int32_t g = 0; g < groups; ++g) {
            std::int32_t value = rnd.between(1, 999);
            // Binary fractions make exact ties of posteriors, ratios and costs.
            if (rnd.chance(1, 4)) value = rnd.pick(std::vector<std::int32_t>{125, 250, 375, 500, 625, 750, 875});
            // Large pools have fewer certain items, which end the search on a posterior of 0.
            if (rnd.chance(1, shape.large ? 60 : 12)) value = 0;
            if (rnd.chance(1, shape.large ? 60 : 12)) value = 1000;
            if (rnd.chance(1, 10)) value = shared;
            row.push_back(value);
        }
        rows.push_back(row);
    }

    std::vector<std::vector<std::string>> nearRows;
    // Half the large pools give most items a row of their own, so that the best item is often
    // alone and the search, not the tie order, decides.
    const bool ownRows = shape.large && rnd.chance(1, 2);
    if (shape.large) {
        const std::int32_t nearCount = rnd.between(1, std::max(2, rowCount / 2));
        for (std::int32_t k = 0; k < nearCount; ++k) {
            std::vector<std::string> row;
            for (std::int32_t v : rnd.pick(rows)) {
                double value = v / 1000.0;
                if (v > 0 && v < 1000 && rnd.chance(1, 2))
                    value += rnd.between(-3, 3) * (rnd.chance(1, 2) ? 1e-13 : 1e-12);
                row.push_back(number(value));
            }
            nearRows.push_back(row);
        }
    }

    std::string header = "Item_ID,Collection,Freq,dropQQ";
    std::string calibration = "Calibration N,,,";
    for (std::int32_t g = 1; g <= groups; ++g) {
        header += "," + std::to_string(g);
        calibration += "," + std::to_string(100 * g);
    }
    const std::string end = rnd.chance(1, 5) ? "\n" : "\r\n";
    c.pool = header + end + calibration + end;
    if (!s.uniformPriors || rnd.chance(2, 3)) {
        std::string priors = "P_Grp, , , ";
        std::vector<std::int32_t> values;
        std::int32_t sum = 0;
        for (std::int32_t g = 0; g < groups; ++g) {
            values.push_back(rnd.chance(1, 6) ? 0 : rnd.between(1, 900));
            sum += values.back();
        }
        if (sum == 0) values[0] = 500;
        for (std::int32_t v : values) priors += "," + thousandths(v, rnd.chance(1, 2));
        c.pool += priors + end;
    } else {
        c.pool += "NoPriors,,," + end;
    }
    std::vector<std::string> ids;
    for (std::int32_t i = 1; i <= items; ++i) {
        const std::string id = "I" + std::to_string(i);
        ids.push_back(id);
        std::string drop;
        if (rnd.chance(1, 8)) drop = rnd.pick(std::vector<std::string>{"1", " 1 ", "1.0"});
        std::string line = id + "," + std::to_string(rnd.pick(labels)) + ",," + drop;
        if (shape.large && rnd.chance(1, 4)) {
            for (const std::string& v : rnd.pick(nearRows)) line += "," + v;
        } else if (ownRows) {
            for (std::int32_t g = 0; g < groups; ++g) line += "," + thousandths(rnd.between(1, 999), true);
        } else {
            for (std::int32_t v : rnd.pick(rows)) line += "," + thousandths(v, rnd.chance(1, 2));
        }
        c.pool += line + end;
    }

    c.script = "Slot,Collection,Comment,Factor\r\n";
    const std::int32_t slots = s.maxTestLength + rnd.between(0, 2);
    for (std::int32_t k = 1; k <= slots; ++k) {
        c.script += std::to_string(k) + "," + std::to_string(rnd.pick(labels)) + ",," +
                    std::to_string(rnd.chance(1, 10) ? 0 : rnd.between(1, 5)) + "\r\n";
    }

    c.enemies = "Set,N,Item1,Item2,Item3,Item4\r\n";
    const std::int32_t sets = rnd.between(1, 5);
    for (std::int32_t k = 1; k <= sets; ++k) {
        const std::int32_t listed = rnd.between(1, 4);
        const std::int32_t n = rnd.chance(1, 5) ? rnd.between(0, listed) : listed;
        std::string line = std::to_string(k) + "," + std::to_string(n);
        for (std::int32_t m = 0; m < listed; ++m) line += "," + (rnd.chance(1, 10) ? "Z9" : rnd.pick(ids));
        c.enemies += line + "\r\n";
    }

    const std::int32_t examinees = rnd.between(1, 4);
    const std::string responseEnd = rnd.chance(1, 4) ? "\n" : "\r\n";
    for (std::int32_t e = 1; e <= examinees; ++e) {
        std::string line;
        if (rnd.chance(1, 15)) {
            line = rnd.chance(1, 2) ? "" : "SHORT";
        } else {
            char id[16];
            std::snprintf(id, sizeof id, "EXAM%07d", e);
            line = id;
            if (rnd.chance(1, 12)) {
                line += rnd.pick(std::vector<std::string>{" ", "x", std::to_string(groups % 10)});
            } else {
                line += std::to_string(rnd.between(0, groups - 1));
            }
            line += " ";
            const std::int32_t answers = rnd.chance(1, 5) ? rnd.between(0, items) : items + rnd.between(0, 2);
            for (std::int32_t k = 0; k < answers; ++k) {
                const std::int32_t roll = rnd.between(1, 100);
                // Wide cases also answer with digits 2 to 9, which the update takes as powers.
                const char other = shape.wide ? static_cast<char>('2' + roll % 8) : 'x';
                line += roll <= 45 ? '1' : roll <= 85 ? '0' : roll <= 95 ? ' ' : other;
            }
        }
        c.responses += line;
        if (e < examinees || rnd.chance(3, 4)) c.responses += responseEnd;
    }
    return c;
}

std::string DifferentialCase::settingsText() const {
    const RunSettings& s = settings;
    std::ostringstream text;
    text << "case seed = " << seed << "\n"
         << "generator state = " << generatorState << "\n"
         << "maxTestLength = " << s.maxTestLength << "\n"
         << "groupCount = " << s.groupCount << "\n"
         << "testsPerPerson = " << s.testsPerPerson << "\n"
         << "selectionMethod = " << selectionMethodName(s.selectionMethod) << "\n"
         << "randomizationFactor = " << s.randomizationFactor << "\n"
         << "sprtAlpha = " << number(s.sprtAlpha) << "\n"
         << "sprtBeta = " << number(s.sprtBeta) << "\n"
         << "costPassPass = " << number(s.costPassPass) << "\n"
         << "costPassFail = " << number(s.costPassFail) << "\n"
         << "costFailPass = " << number(s.costFailPass) << "\n"
         << "costFailFail = " << number(s.costFailFail) << "\n"
         << "dropItems = " << s.dropItems << "\n"
         << "blockEnemies = " << s.blockEnemies << "\n"
         << "uniformPriors = " << s.uniformPriors << "\n"
         << "followScript = " << s.followScript << "\n";
    return text.str();
}

std::string compareExaminees(const DifferentialCase& testCase, CaseTally& tally) {
    const RunSettings& settings = testCase.settings;
    InputFiles inputs;
    try {
        inputs = loadCase(testCase, settings);
    } catch (const InputError&) {
        ++tally.refused;
        return {};
    }
    ExamineeSimulator simulator(inputs, settings);
    RandomGenerator engineRandom(testCase.generatorState);
    RandomGenerator refRandom(testCase.generatorState);
    const std::vector<std::string> lines = splitLines(testCase.responses);
    for (std::size_t e = 0; e < lines.size(); ++e) {
        const ResponseRecord record = parseResponseLine(lines[e]);
        ExamineeOutcome engine;
        TraceRecorder recorder;
        simulator.simulate(record, engineRandom, engine, &recorder);
        ExamineeOutcome ref;
        std::vector<PositionTrace> refTraces;
        simulateExaminee(inputs, settings, record, refRandom, ref, &refTraces);
        ++tally.examinees;
        tally.positions += static_cast<std::int64_t>(refTraces.size());
        std::string difference = examineeDifference(engine, ref, recorder, refTraces);
        if (difference.empty() && engineRandom.state() != refRandom.state()) {
            difference = "generator state after the examinee: engine " + std::to_string(engineRandom.state()) +
                         ", reference " + std::to_string(refRandom.state());
        }
        if (!difference.empty()) return "examinee " + std::to_string(e + 1) + ", " + difference;
        // A run ends at the first examinee who runs out of items.
        if (!ref.tests.empty() && ref.tests.back().failed) {
            ++tally.failures;
            break;
        }
    }
    return {};
}

std::string compareRun(const DifferentialCase& testCase, const std::string& folder, int threads, CaseTally& tally) {
    namespace fs = std::filesystem;
    fs::remove_all(folder);
    writeCase(testCase, folder);
    RunSettings settings = testCase.settings;
    settings.poolFile = (fs::path(folder) / "pool.csv").string();
    settings.scriptFile = (fs::path(folder) / "script.csv").string();
    settings.enemiesFile = (fs::path(folder) / "enemies.csv").string();
    settings.responseFile = (fs::path(folder) / "data.txt").string();
    settings.resultsFile = (fs::path(folder) / "results.csv").string();
    settings.exposureFile = (fs::path(folder) / "expos.csv").string();

    QuietHost host;
    RandomGenerator engineRandom(testCase.generatorState);
    const RunSummary summary = runSimulation(settings, engineRandom, host, RunOptions{threads});
    const std::string engineResults = readFile(settings.resultsFile);
    const bool exposureWritten = fs::exists(settings.exposureFile);
    const std::string engineExposure = readFile(settings.exposureFile);
    const std::string runLabel = "whole run (" + std::to_string(threads) + " thread" + (threads > 1 ? "s" : "") + ")";

    InputFiles inputs;
    try {
        inputs = loadCase(testCase, settings);
    } catch (const InputError&) {
        ++tally.refused;
        if (summary.completed) return runLabel + ": the engine ran a case its loader refuses";
        return {};
    }
    ++tally.runs;
    RandomGenerator refRandom(testCase.generatorState);
    const ReferenceRun ref = runReference(inputs, settings, testCase.responses, refRandom);

    if (host.messages != ref.messages) {
        std::string text = runLabel + ": messages differ\n  engine   ";
        for (const std::string& m : host.messages) text += " [" + m + "]";
        text += "\n  reference";
        for (const std::string& m : ref.messages) text += " [" + m + "]";
        return text;
    }
    if (summary.completed != ref.completed || host.done != ref.completed) {
        return runLabel + ": completed engine " + std::to_string(summary.completed) + ", reference " +
               std::to_string(ref.completed);
    }
    if (!ref.completed) {
        if (!engineResults.empty() || exposureWritten) return runLabel + ": a failed run left a table behind";
        return {};
    }
    if (summary.testsStarted != ref.statistics.testsStarted) {
        return runLabel + ": tests started engine " + std::to_string(summary.testsStarted) + ", reference " +
               std::to_string(ref.statistics.testsStarted);
    }
    if (!ref.messages.empty()) ++tally.stoppedRuns;
    const std::string refResults = resultsTableText(ref.statistics, settings.groupCount);
    if (engineResults != refResults) return runLabel + ": " + tableDifference("results", engineResults, refResults);
    const std::string refExposure = exposureTableText(ref.statistics, inputs.pool);
    if (engineExposure != refExposure) {
        return runLabel + ": " + tableDifference("exposure", engineExposure, refExposure);
    }
    // Without a collection error both sides drew exactly the same values.
    if (ref.messages.empty() && engineRandom.state() != refRandom.state()) {
        return runLabel + ": generator state after the run: engine " + std::to_string(engineRandom.state()) +
               ", reference " + std::to_string(refRandom.state());
    }
    return {};
}

void writeCase(const DifferentialCase& testCase, const std::string& folder) {
    namespace fs = std::filesystem;
    fs::create_directories(folder);
    const auto put = [&](const char* name, const std::string& content) {
        std::ofstream out(fs::path(folder) / name, std::ios::binary);
        out << content;
    };
    put("pool.csv", testCase.pool);
    put("script.csv", testCase.script);
    put("enemies.csv", testCase.enemies);
    put("data.txt", testCase.responses);
    put("settings.txt", testCase.settingsText());
}

}  // namespace quillon::reference
