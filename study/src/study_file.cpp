#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <optional>
#include <sstream>

#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/run_limits.h"
#include "quillon/engine/setting_names.h"
#include "quillon/engine/simulation.h"
#include "quillon/study/study.h"
#include "quillon/text/line_reader.h"

namespace quillon {

namespace {

namespace fs = std::filesystem;

// Set by the study itself for every run, so a study file may not name them.
constexpr std::string_view studyOwnedSettings[] = {"data", "results", "exposure", "no-exposure"};

struct Reader {
    std::string file;
    fs::path base;
    std::vector<std::string> lines;  // the file's lines, for values as written

    std::string where(std::int64_t line, const std::string& key) const {
        return file + " line " + std::to_string(line) + ", key \"" + key + "\": ";
    }

    // The value's text exactly as the file has it (one line), for the tables' factor columns.
    std::string written(const toml::node& node) const {
        if (const auto* text = node.as_string()) return text->get();
        if (const auto* array = node.as_array()) {
            std::string joined;
            for (const toml::node& element : *array) joined += (joined.empty() ? "" : ";") + written(element);
            return joined;
        }
        const toml::source_region& region = node.source();
        if (region.begin.line == region.end.line && region.begin.line >= 1 && region.begin.line <= lines.size() &&
            region.end.column > region.begin.column) {
            const std::string& line = lines[region.begin.line - 1];
            if (region.end.column - 1 <= line.size())
                return line.substr(region.begin.column - 1, region.end.column - region.begin.column);
        }
        if (const auto* whole = node.as_integer()) return std::to_string(whole->get());
        if (const auto* number = node.as_floating_point()) return formatRoundTrip(number->get());
        if (const auto* flag = node.as_boolean()) return flag->get() ? "true" : "false";
        return {};
    }
};

std::int64_t lineOf(const toml::node& node) { return static_cast<std::int64_t>(node.source().begin.line); }

// The table's entries in the order the file writes them (toml++ keeps them sorted by key).
std::vector<std::pair<std::string, const toml::node*>> inFileOrder(const toml::table& table) {
    std::vector<std::pair<std::string, const toml::node*>> entries;
    for (auto&& [key, node] : table) entries.emplace_back(std::string(key.str()), &node);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        const auto &x = a.second->source().begin, &y = b.second->source().begin;
        return x.line != y.line ? x.line < y.line : x.column < y.column;
    });
    return entries;
}

// A TOML number as text that reads back as the same value; false when the node is no number.
bool numberText(const toml::node& node, std::string& text) {
    if (node.is_integer())
        text = std::to_string(node.as_integer()->get());
    else if (node.is_floating_point())
        text = formatRoundTrip(node.as_floating_point()->get());
    else
        return false;
    return true;
}

// A run setting's value as the text setRunSetting takes, or why the TOML value cannot be one.
std::string settingText(const NamedSetting& setting, const toml::node& node, std::string& text) {
    switch (setting.kind) {
        case SettingKind::WholeNumber:
            if (!node.is_integer()) return "expects a whole number";
            text = std::to_string(node.as_integer()->get());
            return {};
        case SettingKind::Number:
            return numberText(node, text) ? std::string() : "expects a number";
        case SettingKind::Flag:
            if (!node.is_boolean()) return "expects true or false";
            text = node.as_boolean()->get() ? "true" : "false";
            return {};
        case SettingKind::Text:
            if (!node.is_string()) return "expects a text in quotes";
            text = node.as_string()->get();
            return {};
    }
    return {};
}

// A generate option's value as text: numbers as for the settings, group shares comma-separated.
std::string generateText(const std::string& name, const toml::node& node, std::string& text) {
    if (name == "group-shares") {
        const toml::array* array = node.as_array();
        if (array == nullptr || array->empty()) return "expects an array of numbers";
        text.clear();
        for (const toml::node& share : *array) {
            std::string one;
            if (!numberText(share, one)) return "expects an array of numbers";
            text += (text.empty() ? "" : ",") + one;
        }
        return {};
    }
    if (name == "blank-share" || name == "item-quality")
        return numberText(node, text) ? std::string() : "expects a number";
    if (!node.is_integer()) return "expects a whole number";
    text = std::to_string(node.as_integer()->get());
    return {};
}

bool isGenerateOption(const std::string& name) {
    const auto& names = studyGenerateOptionNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Why a given response file cannot be a replication's data, or empty: without a line it has no
// examinee, and every table would be zeros.
std::string responseFileProblem(const std::string& path) {
    LineReader reader(path);
    std::string line;
    if (!reader.isOpen()) return "the file " + path + " cannot be read";
    if (!reader.nextLine(line) && reader.problem() == ReadProblem::None)
        return "the file " + path + " holds no examinee (it has no line)";
    return {};
}

template <class T>
bool wholeText(const std::string& text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// One value of the study's own table, checked for type and range.
std::string studyInteger(const Reader& r, const toml::node& node, const std::string& key, std::int64_t low,
                         std::int64_t high, std::int64_t& value) {
    if (!node.is_integer()) return r.where(lineOf(node), key) + "expects a whole number";
    value = node.as_integer()->get();
    if (value < low || value > high)
        return r.where(lineOf(node), key) + "must be from " + std::to_string(low) + " to " + std::to_string(high);
    return {};
}

std::string readStudyTable(const Reader& r, const toml::table& table, Study& study) {
    for (const auto& [key, node] : inFileOrder(table)) {
        const std::string dotted = "study." + key;
        std::int64_t value = 0;
        std::string problem;
        if (key == "name" || key == "output") {
            if (!node->is_string()) return r.where(lineOf(*node), dotted) + "expects a text in quotes";
            const std::string text = node->as_string()->get();
            if (text.empty()) return r.where(lineOf(*node), dotted) + "must not be empty";
            if (key == "name")
                study.name = text;
            else
                study.outputFolder = (r.base / text).lexically_normal().string();
        } else if (key == "seed") {
            problem = studyInteger(r, *node, dotted, 0, INT64_MAX, value);
            study.seed = static_cast<std::uint64_t>(value);
        } else if (key == "replications") {
            problem = studyInteger(r, *node, dotted, 1, 100000, value);
            study.replications = static_cast<std::int32_t>(value);
        } else if (key == "threads") {
            problem = studyInteger(r, *node, dotted, 1, maxThreadCount, value);
            study.threads = static_cast<unsigned>(value);
        } else if (key == "max-runs") {
            problem = studyInteger(r, *node, dotted, 1, INT64_MAX, value);
            study.maxRuns = value;
        } else if (key == "reference") {
            continue;  // read once the factors are known: readReference
        } else {
            return r.where(lineOf(*node), dotted) +
                   "is not a key of [study] (name, seed, replications, output, threads, reference, max-runs)";
        }
        if (!problem.empty()) return problem;
    }
    return {};
}

// A run setting's key and value, checked by setting it.
std::string readSetting(const Reader& r, const std::string& key, const std::string& dotted, const toml::node& node,
                        std::string& text) {
    if (key == stopProbabilityName) {
        // One probability, or several: the runner's repeated --stop-probability.
        std::string problem;
        if (const toml::array* array = node.as_array(); array != nullptr && !array->empty()) {
            text.clear();
            for (const toml::node& element : *array) {
                std::string one;
                if (!numberText(element, one)) problem = "expects a number or an array of numbers";
                text += (text.empty() ? "" : ",") + one;
            }
        } else if (!numberText(node, text)) {
            problem = "expects a number or an array of numbers";
        }
        return problem.empty() ? std::string() : r.where(lineOf(node), dotted) + problem;
    }
    const NamedSetting* setting = findRunSetting(key);
    if (setting == nullptr) return r.where(lineOf(node), dotted) + "there is no run setting of that name";
    if (std::find(std::begin(studyOwnedSettings), std::end(studyOwnedSettings), key) != std::end(studyOwnedSettings))
        return r.where(lineOf(node), dotted) + "is set by the study for every run";
    if (std::string problem = settingText(*setting, node, text); !problem.empty())
        return r.where(lineOf(node), dotted) + problem;
    if (isStudyFileSetting(key)) {
        const fs::path path = (r.base / text).lexically_normal();
        std::error_code error;
        if (!fs::is_regular_file(path, error))
            return r.where(lineOf(node), dotted) + "the file " + path.string() + " does not exist";
        text = path.string();
    }
    RunSettings scratch;
    if (const Status set = setStudySetting(scratch, key, text); !set)
        return r.where(lineOf(node), dotted) + set.failure().message;
    return {};
}

std::string readGenerateOption(const Reader& r, const std::string& key, const std::string& dotted,
                               const toml::node& node, std::string& text) {
    if (key == "seed")
        return r.where(lineOf(node), dotted) + "the data's seed comes from the study seed and the replication";
    if (!isGenerateOption(key)) {
        std::string names;
        for (const std::string& name : studyGenerateOptionNames()) names += (names.empty() ? "" : ", ") + name;
        return r.where(lineOf(node), dotted) + "is not a generate option (" + names + ")";
    }
    if (std::string problem = generateText(key, node, text); !problem.empty())
        return r.where(lineOf(node), dotted) + problem;
    SampleOptions scratch;
    if (const Status set = setSampleOption(scratch, key, text); !set)
        return r.where(lineOf(node), dotted) + set.failure().message;
    // Without examinees every table would be zeros that read as a result.
    if (key == "examinees" && scratch.examinees == 0)
        return r.where(lineOf(node), dotted) + "a study needs examinees: give at least 1";
    return {};
}

// [data.calibrate]: the calibration sample sizes and the options of known-group calibration.
std::string readCalibrate(const Reader& r, const toml::node& node, Study& study) {
    const std::string dotted = "data.calibrate";
    const toml::table* table = node.as_table();
    if (table == nullptr) return r.where(lineOf(node), dotted) + "expects a table of calibration options";
    StudyCalibration calibration;
    CalibrationOptions& options = calibration.options;
    bool sized = false;
    for (const auto& [key, value] : inFileOrder(*table)) {
        const std::string named = dotted + "." + key;
        const std::int64_t line = lineOf(*value);
        if (key == "examinees") {
            sized = true;
            calibration.line = line;
            // One size, or several: each a level of the calibration factor.
            std::vector<const toml::node*> levels;
            if (const toml::array* array = value->as_array()) {
                for (const toml::node& level : *array) levels.push_back(&level);
                if (levels.empty()) return r.where(line, named) + "has no calibration sample sizes";
            } else {
                levels.push_back(value);
            }
            for (const toml::node* level : levels) {
                std::int64_t size = 0;
                if (!level->is_integer())
                    return r.where(lineOf(*level), named) +
                           "expects whole numbers of examinees, such as [100, 250, 500, 1000]";
                if (std::string problem = studyInteger(r, *level, named, 1, maxCalibrationExaminees, size);
                    !problem.empty())
                    return problem + " examinees (a calibration sample is held in memory)";
                if (std::find(calibration.sizes.begin(), calibration.sizes.end(), size) != calibration.sizes.end())
                    return r.where(lineOf(*level), named) + "names the size " + std::to_string(size) + " twice";
                calibration.sizes.push_back(size);
            }
        } else if (key == "prior") {
            const toml::array* array = value->as_array();
            const auto isNumber = [](const toml::node* n) { return n->is_integer() || n->is_floating_point(); };
            if (array == nullptr || array->size() != 2 || !isNumber(array->get(0)) || !isNumber(array->get(1)))
                return r.where(line, named) + "expects the Beta prior's two numbers, such as [0.5, 0.5]";
            options.priorA = array->get(0)->value<double>().value_or(0);
            options.priorB = array->get(1)->value<double>().value_or(0);
            // A prior of 0 lets an estimate reach 0 or 1, which rules a group out on one answer.
            if (!(options.priorA > 0 && options.priorB > 0 && std::isfinite(options.priorA) &&
                  std::isfinite(options.priorB)))
                return r.where(line, named) + "both numbers must be above 0";
        } else if (key == "min-answers") {
            if (std::string problem = studyInteger(r, *value, named, 0, maxCalibrationExaminees, options.minAnswers);
                !problem.empty())
                return problem;
        } else if (key == "drop-thin") {
            if (!value->is_boolean()) return r.where(line, named) + "expects true or false";
            options.dropThin = value->as_boolean()->get();
        } else {
            return r.where(line, named) + "is not a key of [data.calibrate] (examinees, prior, min-answers, drop-thin)";
        }
    }
    if (!sized) return r.where(lineOf(node), dotted) + "needs examinees = [...], the calibration sample sizes";
    study.calibration = std::move(calibration);
    return {};
}

std::string readData(const Reader& r, const toml::table& table, Study& study) {
    bool any = false;
    const toml::node* calibrate = nullptr;
    for (const auto& [key, node] : inFileOrder(table)) {
        const std::string dotted = "data." + key;
        if (key == "calibrate") {
            calibrate = node;  // read once the data are known to be generated
            continue;
        }
        if (any) return r.where(lineOf(*node), dotted) + "[data] takes either files or [data.generate], not both";
        any = true;
        if (key == "files") {
            const toml::array* files = node->as_array();
            if (files == nullptr) return r.where(lineOf(*node), dotted) + "expects an array of file names";
            for (const toml::node& file : *files) {
                if (!file.is_string()) return r.where(lineOf(file), dotted) + "expects an array of file names";
                const fs::path path = (r.base / file.as_string()->get()).lexically_normal();
                std::error_code error;
                if (!fs::is_regular_file(path, error))
                    return r.where(lineOf(file), dotted) + "the file " + path.string() + " does not exist";
                if (std::string problem = responseFileProblem(path.string()); !problem.empty())
                    return r.where(lineOf(file), dotted) + problem;
                study.responseFiles.push_back(path.string());
            }
            if (static_cast<std::int64_t>(files->size()) != study.replications)
                return r.where(lineOf(*node), dotted) + "names " + std::to_string(files->size()) + " files for " +
                       std::to_string(study.replications) + " replications (one each)";
        } else if (key == "generate") {
            const toml::table* generate = node->as_table();
            if (generate == nullptr) return r.where(lineOf(*node), dotted) + "expects a table of generate options";
            study.generated = true;
            for (const auto& [option, value] : inFileOrder(*generate)) {
                StudyValue entry{option, {}, lineOf(*value)};
                if (std::string problem = readGenerateOption(r, option, dotted + "." + option, *value, entry.value);
                    !problem.empty())
                    return problem;
                study.generateOptions.push_back(entry);
            }
        } else {
            return r.where(lineOf(*node), dotted) +
                   "is not a key of [data] (files, or a [data.generate] table, with a [data.calibrate] table)";
        }
    }
    // Calibration error is measured against the pool the examinees answer by, which only
    // generated data have.
    if (calibrate != nullptr && !study.generated)
        return r.where(lineOf(*calibrate), "data.calibrate") +
               "calibrates pools from the study's generated pool: it needs [data.generate], not given files";
    if (!any) return r.file + ": [data] needs files = [...] or a [data.generate] table";
    if (calibrate != nullptr) return readCalibrate(r, *calibrate, study);
    return {};
}

// The factor of the calibration sample sizes: the true pool first, then each size.
StudyFactor calibrationFactor(const StudyCalibration& calibration) {
    StudyFactor factor;
    factor.name = calibrationFactorName;
    factor.calibrationSize = true;
    factor.values = {std::string(truePoolLevel)};
    for (std::int64_t size : calibration.sizes) factor.values.push_back(std::to_string(size));
    factor.written = factor.values;
    factor.line = calibration.line;
    return factor;
}

// Whether a factor's levels are numbers (or lists of numbers), and so compared by value.
bool numericFactor(const StudyFactor& factor) {
    if (factor.generateOption) return true;
    const NamedSetting* setting = findRunSetting(factor.name);
    return setting != nullptr && (setting->kind == SettingKind::WholeNumber || setting->kind == SettingKind::Number);
}

// Two levels as their setting takes them are one level: numbers (and lists of them) by value,
// so 10 and 0xA, or 0.05 and 5e-2, are the same condition.
bool sameLevel(bool numeric, const std::string& a, const std::string& b) {
    if (a == b) return true;
    if (!numeric) return false;
    const auto pieces = [](const std::string& text) {
        std::vector<std::string> list;
        for (std::size_t from = 0; from <= text.size();) {
            const std::size_t comma = std::min(text.find(',', from), text.size());
            list.push_back(text.substr(from, comma - from));
            from = comma + 1;
        }
        return list;
    };
    const std::vector<std::string> x = pieces(a), y = pieces(b);
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        // Whole numbers as such: past 2^53 two of them can share one double.
        std::int64_t wholeX = 0, wholeY = 0;
        if (wholeText(x[i], wholeX) && wholeText(y[i], wholeY)) {
            if (wholeX != wholeY) return false;
            continue;
        }
        double numberX = 0, numberY = 0;
        if (!wholeText(x[i], numberX) || !wholeText(y[i], numberY) || numberX != numberY) return false;
    }
    return true;
}

// Why a level with the value `text` (written `shown`) cannot be added to the factor, or empty.
std::string levelNamedTwice(const StudyFactor& factor, const std::string& text, const std::string& shown) {
    const bool numeric = numericFactor(factor);
    for (std::size_t i = 0; i < factor.values.size(); ++i) {
        if (!sameLevel(numeric, factor.values[i], text)) continue;
        const std::string& first = factor.written[i];
        return "names the level " + first + " twice" + (first == shown ? "" : " (as " + first + " and " + shown + ")");
    }
    return {};
}

// `reference = { factor = level, ... }`: the levels, of some factors, of each condition's reference.
std::string readReference(const Reader& r, const toml::node& node, Study& study) {
    const std::string dotted = "study.reference";
    const toml::table* table = node.as_table();
    if (table == nullptr || table->empty())
        return r.where(lineOf(node), dotted) + "expects a table of factor levels, such as { method = \"Shannon\" }";
    study.referenceLevels.assign(study.factors.size(), std::nullopt);
    for (const auto& [key, level] : inFileOrder(*table)) {
        const std::string named = dotted + "." + key;
        const auto factor = std::find_if(study.factors.begin(), study.factors.end(),
                                         [&](const StudyFactor& f) { return f.name == key; });
        if (factor == study.factors.end()) {
            std::string names;
            for (const StudyFactor& f : study.factors) names += (names.empty() ? "" : ", ") + f.name;
            return r.where(lineOf(*level), named) + "is not a factor of the study" +
                   (names.empty() ? std::string(" (it has none)") : " (" + names + ")");
        }
        const std::size_t f = static_cast<std::size_t>(factor - study.factors.begin());
        if (factor->calibrationSize) {
            // A size as a whole number, the true pool by its name.
            std::string text;
            if (level->is_integer())
                text = std::to_string(level->as_integer()->get());
            else if (level->is_string())
                text = level->as_string()->get();
            const auto found = std::find(factor->values.begin(), factor->values.end(), text);
            if (found == factor->values.end())
                return r.where(lineOf(*level), named) + r.written(*level) + " is neither \"" +
                       std::string(truePoolLevel) + "\" nor a size of data.calibrate.examinees";
            study.referenceLevels[f] = static_cast<std::size_t>(found - factor->values.begin());
            continue;
        }
        std::string text;
        const std::string problem = factor->generateOption ? readGenerateOption(r, key, named, *level, text)
                                                           : readSetting(r, key, named, *level, text);
        if (!problem.empty()) return problem;
        const bool numeric = numericFactor(*factor);
        const auto found = std::find_if(factor->values.begin(), factor->values.end(),
                                        [&](const std::string& value) { return sameLevel(numeric, value, text); });
        if (found == factor->values.end())
            return r.where(lineOf(*level), named) + r.written(*level) + " is not a level of factors." + key;
        study.referenceLevels[f] = static_cast<std::size_t>(found - factor->values.begin());
    }
    // Unless named, calibration error is measured against the true pool.
    for (std::size_t f = 0; f < study.factors.size(); ++f)
        if (study.factors[f].calibrationSize && !study.referenceLevels[f]) study.referenceLevels[f] = 0;
    return {};
}

// Why the study has more runs than it may, or empty; counted without overflow.
std::string runCountProblem(const Study& study) {
    const std::size_t conditions = conditionCount(study);
    const auto replications = static_cast<std::size_t>(study.replications);
    const auto allowed = static_cast<std::uint64_t>(study.maxRuns);
    if (conditions <= allowed / replications) return {};
    const std::string many =
        conditions == SIZE_MAX ? "more than " + std::to_string(SIZE_MAX) : std::to_string(conditions);
    const std::string runs =
        conditions <= SIZE_MAX / replications ? " (" + std::to_string(conditions * replications) + " runs)" : "";
    return "the factors make " + many + " conditions, which in " + std::to_string(replications) +
           " replications are more runs" + runs + " than the " + std::to_string(study.maxRuns) +
           " a study may have; set max-runs in [study] to allow more";
}

std::string readFactors(const Reader& r, const toml::table& table, Study& study) {
    for (const auto& [key, node] : inFileOrder(table)) {
        const std::string dotted = "factors." + key;
        StudyFactor factor;
        factor.name = key;
        factor.line = lineOf(*node);
        factor.generateOption = findRunSetting(key) == nullptr && isGenerateOption(key);
        if (key == calibrationFactorName)
            return r.where(factor.line, dotted) +
                   "the calibration sample sizes are given as examinees in [data.calibrate]";
        if (factor.generateOption && !study.generated)
            return r.where(factor.line, dotted) + "varies a generate option, but the study's data are not generated";
        const auto fixed = [&](const std::vector<StudyValue>& values) {
            return std::any_of(values.begin(), values.end(), [&](const StudyValue& v) { return v.name == key; });
        };
        if (fixed(study.settings) || fixed(study.generateOptions))
            return r.where(factor.line, dotted) + "is both fixed and varied";
        const toml::array* levels = node->as_array();
        if (levels == nullptr) return r.where(factor.line, dotted) + "expects an array of levels";
        if (levels->empty()) return r.where(factor.line, dotted) + "has no levels";
        for (const toml::node& level : *levels) {
            std::string text;
            const std::string problem = factor.generateOption ? readGenerateOption(r, key, dotted, level, text)
                                                              : readSetting(r, key, dotted, level, text);
            if (!problem.empty()) return problem;
            // The level with the fixed values alone must pass the run's or the generator's checks.
            // Every value set here has passed its own check above.
            Status refusal;
            if (factor.generateOption) {
                SampleOptions options;
                for (const StudyValue& fixed : study.generateOptions)
                    (void)setSampleOption(options, fixed.name, fixed.value);
                (void)setSampleOption(options, key, text);
                refusal = checkSampleOptions(options);
            } else {
                RunSettings settings;
                for (const StudyValue& fixed : study.settings) (void)setStudySetting(settings, fixed.name, fixed.value);
                (void)setStudySetting(settings, key, text);
                refusal = checkRunSettings(settings);
            }
            if (!refusal) return r.where(lineOf(level), dotted) + withLineFeeds(refusal.failure().message);
            const std::string shown = r.written(level);
            if (std::string twice = levelNamedTwice(factor, text, shown); !twice.empty())
                return r.where(lineOf(level), dotted) + twice;
            factor.written.push_back(shown);
            factor.values.push_back(text);
        }
        study.factors.push_back(std::move(factor));
    }
    return {};
}

std::string clusterKeyList() {
    std::string names;
    for (const std::string& name : studyClusterKeys()) names += (names.empty() ? "" : ", ") + name;
    return names;
}

// The [cluster] table: the keys of setClusterOption, texts but for the extra options' array and
// the task seconds' whole number.
std::string readCluster(const Reader& r, const toml::table& table, Study& study) {
    for (const auto& [key, node] : inFileOrder(table)) {
        const std::string dotted = "cluster." + key;
        const auto& keys = studyClusterKeys();
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            return r.where(lineOf(*node), dotted) + "is not a key of [cluster] (" + clusterKeyList() + ")";
        std::vector<std::pair<const toml::node*, std::string>> values;  // each with its text
        if (key == "extra") {
            const toml::array* options = node->as_array();
            if (options == nullptr) return r.where(lineOf(*node), dotted) + "expects an array of texts in quotes";
            for (const toml::node& option : *options) {
                if (!option.is_string()) return r.where(lineOf(option), dotted) + "expects an array of texts in quotes";
                values.emplace_back(&option, option.as_string()->get());
            }
        } else if (key == "task-seconds") {
            if (!node->is_integer()) return r.where(lineOf(*node), dotted) + "expects a whole number";
            values.emplace_back(node, std::to_string(node->as_integer()->get()));
        } else {
            if (!node->is_string()) return r.where(lineOf(*node), dotted) + "expects a text in quotes";
            values.emplace_back(node, node->as_string()->get());
        }
        for (const auto& [value, text] : values)
            if (const Status set = setClusterOption(study.cluster, key, text); !set)
                return r.where(lineOf(*value), dotted) + set.failure().message;
    }
    return {};
}

// Every condition's settings must pass the run's own checks, and its data the generator's.
std::string checkConditions(const Reader& r, const Study& study) {
    for (std::size_t c = 0; c < conditionCount(study); ++c) {
        const StudyRun run = studyRun(study, "", c, 0);
        Status checked = checkRunSettings(run.settings);
        if (checked && study.generated) checked = checkSampleOptions(studyData(study, "", c, 0).options);
        if (const std::optional<std::int64_t> size = calibrationSize(study, c); checked && size) {
            const std::int32_t items = studyData(study, "", c, 0).options.items;
            if (*size * items > maxCalibrationAnswers)
                checked =
                    Failure{FailureKind::Usage, "a calibration sample of " + std::to_string(*size) + " examinees on " +
                                                    std::to_string(items) + " items holds more than " +
                                                    std::to_string(maxCalibrationAnswers) +
                                                    " answers, too many to calibrate in memory"};
        }
        if (checked) continue;
        const std::vector<std::size_t> levels = conditionLevels(study, c);
        std::string named;
        for (std::size_t f = 0; f < study.factors.size(); ++f)
            named += (named.empty() ? "" : ", ") + study.factors[f].name + " = " + study.factors[f].written[levels[f]];
        return r.file + ": condition " + std::to_string(c + 1) + (named.empty() ? "" : " (" + named + ")") + ": " +
               withLineFeeds(checked.failure().message);
    }
    return {};
}

}  // namespace

bool isStudyFileSetting(std::string_view name) { return name == "pool" || name == "script" || name == "enemies"; }

const std::vector<std::string>& studyGenerateOptionNames() {
    static const std::vector<std::string> names = {"items",         "collections", "groups",       "examinees",
                                                   "script-length", "blank-share", "group-shares", "item-quality"};
    return names;
}

const std::vector<std::string>& studyClusterKeys() {
    static const std::vector<std::string> keys = {"partition", "account", "time", "memory", "extra", "task-seconds"};
    return keys;
}

Status setClusterOption(StudyCluster& cluster, const std::string& key, const std::string& value) {
    const auto refused = [](std::string message) { return Failure{FailureKind::Usage, std::move(message)}; };
    if (key == "task-seconds") {
        std::int64_t seconds = 0;
        if (!wholeText(value, seconds) || seconds < 0 || seconds > maxClusterTaskSeconds)
            return refused("\"" + value + "\" is not a whole number of seconds from 0 to " +
                           std::to_string(maxClusterTaskSeconds));
        cluster.taskSeconds = seconds;
        return {};
    }
    // sbatch reads an #SBATCH line up to its end: a control character would end the line or hide in it.
    if (std::any_of(value.begin(), value.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        return refused("a line break or control character cannot go into a batch script");
    if (key == "extra") {
        // The name is written as it is and only the value quoted, so the name must need no quoting.
        const std::size_t equals = std::min(value.find('='), value.size());
        const std::string name = value.substr(0, equals);
        const bool named =
            name.size() > 2 && name.starts_with("--") && std::isalnum(static_cast<unsigned char>(name[2])) &&
            std::all_of(name.begin() + 2, name.end(),
                        [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; });
        if (!named) return refused("\"" + value + "\" is not an sbatch option written as --name or --name=value");
        for (const char* own : {"--array", "--output", "--job-name", "--dependency"})
            if (name == own) return refused(std::string(own) + " is set by the plan itself");
        cluster.extra.push_back(value);
        return {};
    }
    if (value.empty()) return refused("must not be empty");
    if (key == "partition")
        cluster.partition = value;
    else if (key == "account")
        cluster.account = value;
    else if (key == "time")
        cluster.time = value;
    else if (key == "memory")
        cluster.memory = value;
    else
        return refused("there is no cluster key named \"" + key + "\" (" + clusterKeyList() + ")");
    return {};
}

Status setStudySetting(RunSettings& settings, const std::string& name, const std::string& value) {
    if (name != stopProbabilityName) return setRunSetting(settings, name, value);
    std::vector<double> probabilities;
    for (std::size_t from = 0; from <= value.size();) {
        const std::size_t comma = std::min(value.find(',', from), value.size());
        double probability = 0;
        const auto [end, error] = std::from_chars(value.data() + from, value.data() + comma, probability);
        if (comma == from || error != std::errc() || end != value.data() + comma)
            return Failure{FailureKind::Usage, "setting stop-probability: \"" + value + "\" is not a list of numbers"};
        probabilities.push_back(probability);
        from = comma + 1;
    }
    settings.stopProbabilities = probabilities;
    return {};
}

Status setSampleOption(SampleOptions& options, const std::string& name, const std::string& value,
                       const std::string& shownName) {
    const auto refused = [](std::string message) { return Failure{FailureKind::Usage, std::move(message)}; };
    const std::string bad = "generate option " + (shownName.empty() ? name : shownName) + ": \"" + value + "\" is not ";
    const auto number = [&](double& out) {
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), out);
        return !value.empty() && error == std::errc() && end == value.data() + value.size() && std::isfinite(out);
    };
    if (name == "items" || name == "collections" || name == "groups" || name == "script-length") {
        std::int32_t whole = 0;
        if (!wholeText(value, whole)) return refused(bad + "a whole number");
        (name == "items"         ? options.items
         : name == "collections" ? options.collections
         : name == "groups"      ? options.groups
                                 : options.scriptLength) = whole;
        return {};
    }
    if (name == "examinees") return wholeText(value, options.examinees) ? Status() : refused(bad + "a whole number");
    if (name == "blank-share") return number(options.blankShare) ? Status() : refused(bad + "a number");
    if (name == "item-quality") return number(options.itemQuality) ? Status() : refused(bad + "a number");
    if (name == "group-shares") {
        // Comma-separated, as generate's --group-shares takes them.
        std::vector<double> shares;
        for (std::size_t from = 0; from <= value.size();) {
            const std::size_t comma = std::min(value.find(',', from), value.size());
            const std::string one = value.substr(from, comma - from);
            double share = 0;
            const auto [end, error] = std::from_chars(one.data(), one.data() + one.size(), share);
            if (one.empty() || error != std::errc() || end != one.data() + one.size())
                return refused(bad + "a list of numbers");
            shares.push_back(share);
            from = comma + 1;
        }
        options.groupShares = shares;
        return {};
    }
    return refused("there is no generate option named \"" + name + "\"");
}

namespace {

// The calibrated pools are estimated from the generated pool's examinees; a given pool would be a
// true pool the examinees do not answer by.
constexpr const char* givenPoolProblem =
    "a study with [data.calibrate] calibrates its pools from its generated pool, so it takes no pool file";

// Reads the study file into `study`; what is wrong, or empty.
std::string readStudyFile(const std::string& path, Study& study) {
    Reader r;
    r.file = path;
    const std::optional<std::string> read = readWholeFile(path);
    if (!read) return path + ": the study file cannot be read";
    const std::string& text = *read;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) r.lines.push_back(line);
    std::error_code error;
    r.base = fs::absolute(fs::path(path), error).parent_path();
    study.file = (r.base / fs::path(path).filename()).string();
    study.name = fs::path(path).stem().string();
    study.outputFolder = (r.base / (study.name + "_output")).string();
    study.threads = static_cast<unsigned>(defaultThreadCount());

    toml::table root;
    try {
        root = toml::parse(text, std::string_view(path));
    } catch (const toml::parse_error& failure) {
        return path + " line " + std::to_string(failure.source().begin.line) + ": " +
               std::string(failure.description());
    }
    const toml::table* parts[5] = {};
    for (const auto& [key, node] : inFileOrder(root)) {
        const char* names[] = {"study", "settings", "factors", "data", "cluster"};
        const auto found = std::find(std::begin(names), std::end(names), key);
        if (found == std::end(names))
            return r.where(lineOf(*node), key) +
                   "is not a table of a study file ([study], [settings], [factors], [data], [cluster])";
        if (!node->is_table()) return r.where(lineOf(*node), key) + "expects a table";
        parts[found - std::begin(names)] = node->as_table();
    }
    if (parts[0] != nullptr)
        if (std::string problem = readStudyTable(r, *parts[0], study); !problem.empty()) return problem;
    if (parts[1] != nullptr) {
        for (const auto& [key, node] : inFileOrder(*parts[1])) {
            StudyValue entry{key, {}, lineOf(*node)};
            if (std::string problem = readSetting(r, key, "settings." + key, *node, entry.value); !problem.empty())
                return problem;
            study.settings.push_back(entry);
        }
    }
    if (parts[3] == nullptr) return path + ": the study has no [data] table (files = [...] or [data.generate])";
    if (std::string problem = readData(r, *parts[3], study); !problem.empty()) return problem;
    if (parts[2] != nullptr)
        if (std::string problem = readFactors(r, *parts[2], study); !problem.empty()) return problem;
    if (study.calibration) {
        // The calibration sizes vary fastest, so each condition stands beside its calibrated pools.
        study.factors.push_back(calibrationFactor(*study.calibration));
        for (const StudyValue& setting : study.settings)
            if (setting.name == "pool") return r.where(setting.line, "settings.pool") + givenPoolProblem;
        for (const StudyFactor& factor : study.factors)
            if (factor.name == "pool") return r.where(factor.line, "factors.pool") + givenPoolProblem;
    }
    if (parts[4] != nullptr)
        if (std::string problem = readCluster(r, *parts[4], study); !problem.empty()) return problem;
    study.referenceLevels.assign(study.factors.size(), std::size_t{0});
    if (const toml::node* reference = parts[0] != nullptr ? parts[0]->get("reference") : nullptr) {
        if (std::string problem = readReference(r, *reference, study); !problem.empty()) return problem;
    } else if (study.calibration) {
        // Each condition against itself run with the true pool: its loss to calibration error alone.
        for (std::size_t f = 0; f < study.factors.size(); ++f)
            if (!study.factors[f].calibrationSize) study.referenceLevels[f] = std::nullopt;
    }
    // Before any condition is looked at: a design too large to run is refused as it is.
    if (std::string problem = runCountProblem(study); !problem.empty()) return path + ": " + problem;
    const auto names = [](const auto& list, std::string_view name) {
        return std::any_of(list.begin(), list.end(), [&](const auto& entry) { return entry.name == name; });
    };
    if (!study.generated && !names(study.settings, "pool") && !names(study.factors, "pool"))
        return path + ": with given response files the study needs a pool file (settings.pool or a factor)";
    return checkConditions(r, study);
}

}  // namespace

Outcome<Study> readStudy(const std::string& path) {
    Study study;
    if (std::string problem = readStudyFile(path, study); !problem.empty())
        return Failure{FailureKind::Input, std::move(problem)};
    return study;
}

}  // namespace quillon
