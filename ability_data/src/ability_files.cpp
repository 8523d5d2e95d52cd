#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "quillon/ability_data/ability_data.h"
#include "quillon/calibration/calibration.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_limits.h"
#include "quillon/observed_answers/observed_answers.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"

namespace quillon {
namespace {

Failure usage(std::string message) { return Failure{FailureKind::Usage, std::move(message)}; }

// Each use of the seed draws from a stream of its own, so that none of them moves the draws of
// the generator's own files (script, enemies, collections), which keep the seed itself.
constexpr std::uint64_t itemStream = 0x6974656d73ULL;          // drawn item parameters
constexpr std::uint64_t examineeStream = 0x6162696c697479ULL;  // the response file's examinees
constexpr std::uint64_t sampleStream = 0x73616d706c65ULL;      // the calibration sample

// The engine's arithmetic on the raw 64-bit stream, as the generator draws; the normal draws use
// the math library's log and cos.
class AbilityRandom {
public:
    explicit AbilityRandom(std::uint64_t seed) : engine_(seed) {}
    double uniform() { return static_cast<double>(engine_() >> 11) * (1.0 / 9007199254740992.0); }
    std::int64_t below(std::int64_t n) {
        return std::min<std::int64_t>(n - 1, static_cast<std::int64_t>(uniform() * static_cast<double>(n)));
    }
    // Box-Muller, one of the pair: the first uniform is moved to (0, 1] so that its log is finite.
    double normal() {
        const double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));
        return radius * std::cos(6.283185307179586477 * uniform());
    }
    double ability(const AbilityDistribution& d) {
        if (d.components.empty())
            return d.abilities[static_cast<std::size_t>(below(static_cast<std::int64_t>(d.abilities.size())))];
        double u = uniform();
        std::size_t k = 0;
        while (k + 1 < d.components.size() && u >= d.components[k].weight) u -= d.components[k++].weight;
        return d.components[k].mean + d.components[k].sd * normal();
    }

private:
    std::mt19937_64 engine_;
};

std::string probabilityPoolText(const AbilityModel& model, const GroupProbabilities& p) {
    const std::size_t groups = static_cast<std::size_t>(model.groupCount());
    const std::string crlf = "\r\n";
    std::string pool = "Item_ID,Collection,Freq,dropQQ";
    for (std::size_t g = 1; g <= groups; ++g) pool += "," + std::to_string(g);
    // No sample stands behind exact probabilities, so the calibration row stays empty.
    pool += crlf + "N,,," + std::string(groups, ',');
    pool += crlf + "P_Grp, , , ";
    for (const double prior : p.prior) pool += "," + fixedRoundTrip(prior);
    pool += crlf;
    for (std::size_t i = 0; i < model.items.size(); ++i) {
        pool += model.items[i].id + "," + std::to_string(model.items[i].collection) + ",,0";
        for (std::size_t g = 0; g < groups; ++g) pool += "," + fixedRoundTrip(p.pCorrect[i * groups + g]);
        pool += crlf;
    }
    return pool;
}

// The sample's examinees answer every item; their true groups are known to the calibration.
Outcome<Calibration> calibratedFromSample(const AbilityModel& model, std::int64_t examinees, std::uint64_t seed) {
    AbilityRandom random(splitMix64(seed ^ sampleStream));
    ObservedAnswers data;
    for (const IrtItem& item : model.items) data.items.push_back({item.id, item.collection});
    data.answers.reserve(static_cast<std::size_t>(examinees) * model.items.size());
    for (std::int64_t e = 1; e <= examinees; ++e) {
        const double ability = random.ability(model.ability);
        data.addExaminee("S" + std::to_string(e), model.groupOf(ability), "sample examinee " + std::to_string(e));
        auto answer = data.answers.end() - static_cast<std::ptrdiff_t>(model.items.size());
        for (const IrtItem& item : model.items)
            *answer++ = random.uniform() < irtProbability(item, model.scale, ability) ? Answer::Right : Answer::Wrong;
    }
    CalibrationOptions options;
    options.groups = model.groupCount();
    return calibratePool(data, options);
}

std::string pairProblem(const char* option, const std::vector<double>& pair, double low, double high, bool widthOk) {
    if (pair.size() != 2 || !std::isfinite(pair[0]) || !std::isfinite(pair[1]))
        return std::string(option) + " needs two numbers, as in LO,HI.";
    if (!(pair[0] >= low && pair[1] <= high && (widthOk ? pair[0] <= pair[1] : pair[1] > 0)))
        return std::string(option) + " is out of range.";
    return {};
}

// What is wrong with the options the ability data add, or empty.
std::string abilityOptionsProblem(const SampleOptions& sample, const AbilityOptions& o) {
    if (o.ability.empty())
        return "--item-file, --irt, --a-range, --b-normal, --c-range, --cuts, --irt-scale and "
               "--pool-from-sample need --ability.";
    if (o.cuts.empty()) return "--ability needs --cuts, the group boundaries on the ability scale.";
    for (std::size_t k = 0; k < o.cuts.size(); ++k) {
        if (!std::isfinite(o.cuts[k])) return "--cuts must be numbers.";
        if (k > 0 && !(o.cuts[k] > o.cuts[k - 1]))
            return "--cuts must be in ascending order, each above the one before.";
    }
    const auto groups = static_cast<std::int64_t>(o.cuts.size()) + 1;
    if (groups < minGroupCount || groups > maxResponseGroup)
        return "--cuts: give from " + std::to_string(minGroupCount - 1) + " to " +
               std::to_string(maxResponseGroup - 1) + " cuts (one fewer than the groups).";
    if (o.groupsGiven && sample.groups != groups)
        return "--groups " + std::to_string(sample.groups) + " disagrees with --cuts, which make " +
               std::to_string(groups) + " groups.";
    if (!sample.groupShares.empty())
        return "--group-shares does not go with --ability: the ability's mass between the cuts is each group's share.";
    if (sample.itemQuality != 1.0)
        return "--item-quality does not go with --ability: the item parameters set how far apart the groups lie.";
    if (!(o.scale > 0 && std::isfinite(o.scale))) return "--irt-scale must be a number above 0.";
    if (o.poolFromSample < 0 || o.poolFromSample > maxGeneratedExaminees)
        return "--pool-from-sample must be from 0 to " + std::to_string(maxGeneratedExaminees) + ".";
    if (!o.itemFile.empty()) {
        if (o.itemOptionsGiven)
            return "--irt, --a-range, --b-normal and --c-range draw items; an --item-file gives them.";
        return {};
    }
    if (o.irt != "1pl" && o.irt != "2pl" && o.irt != "3pl") return "--irt must be 1pl, 2pl or 3pl.";
    for (const std::string& problem : {pairProblem("--a-range", o.aRange, 1e-300, HUGE_VAL, true),
                                       pairProblem("--b-normal", o.bNormal, -HUGE_VAL, HUGE_VAL, false),
                                       pairProblem("--c-range", o.cRange, 0.0, 0.999999, true)})
        if (!problem.empty()) return problem;
    return {};
}

}  // namespace

Outcome<AbilityFiles> generateAbilityFiles(const SampleOptions& sample, const AbilityOptions& options) {
    if (std::string problem = abilityOptionsProblem(sample, options); !problem.empty())
        return usage(std::move(problem));
    AbilityFiles result;
    AbilityModel& model = result.model;
    Outcome<AbilityDistribution> ability = readAbility(options.ability);
    if (!ability) return ability.failure();
    model.ability = std::move(*ability);
    model.cuts = options.cuts;
    model.scale = options.scale;

    SampleOptions shape = sample;
    shape.groups = model.groupCount();
    if (!options.itemFile.empty()) {
        Outcome<std::vector<IrtItem>> items = readIrtItemFile(options.itemFile);
        if (!items) return items.failure();
        model.items = std::move(*items);
        if (options.itemsGiven && sample.items != static_cast<std::int64_t>(model.items.size()))
            return usage("--items " + std::to_string(sample.items) + " disagrees with the " +
                         std::to_string(model.items.size()) + " items of " + options.itemFile + ".");
        if (model.items.size() > static_cast<std::size_t>(maxGeneratedItems))
            return usage(options.itemFile + " holds more than " + std::to_string(maxGeneratedItems) + " items.");
        shape.items = static_cast<std::int32_t>(model.items.size());
        std::int32_t highest = 0;
        for (const IrtItem& item : model.items) highest = std::max(highest, item.collection);
        if (highest > 0) shape.collections = highest;
    }
    if (Status shapeOk = checkSampleOptions(shape); !shapeOk) return shapeOk.failure();
    if (options.poolFromSample > 0 && options.poolFromSample * std::int64_t{shape.items} > 2'000'000'000)
        return usage("--pool-from-sample: the sample's answers (examinees times items) must stay within 2e9.");

    if (options.itemFile.empty()) {
        AbilityRandom random(splitMix64(sample.seed ^ itemStream));
        for (std::int32_t i = 0; i < shape.items; ++i) {
            IrtItem item;
            item.id = defaultItemId(static_cast<std::size_t>(i));
            if (options.irt != "1pl")
                item.a = options.aRange[0] + (options.aRange[1] - options.aRange[0]) * random.uniform();
            item.b = options.bNormal[0] + options.bNormal[1] * random.normal();
            if (options.irt == "3pl")
                item.c = options.cRange[0] + (options.cRange[1] - options.cRange[0]) * random.uniform();
            model.items.push_back(std::move(item));
        }
    }

    // The script, enemies and collections are the generator's for the same shape and seed.
    SampleFiles shaped = generateSampleFiles(shape);
    const std::vector<std::string> poolLines = splitLines(shaped.pool);
    for (std::size_t i = 0; i < model.items.size(); ++i)
        if (model.items[i].collection == 0) model.items[i].collection = std::stoi(csvFields(poolLines[i + 3])[1]);
    SampleFiles& files = result.files;
    files.script = std::move(shaped.script);
    // The generator's enemies name items by position; they are renamed to the model's items.
    const std::vector<std::string> enemyLines = splitLines(shaped.enemies);
    files.enemies = enemyLines[0] + "\r\n";
    for (std::size_t row = 1; row < enemyLines.size(); ++row) {
        const std::vector<std::string> fields = csvFields(enemyLines[row]);
        files.enemies += fields[0] + "," + fields[1];
        for (std::size_t f = 2; f < fields.size(); ++f)
            files.enemies += "," + model.items[static_cast<std::size_t>(std::stoi(fields[f].substr(1)) - 1)].id;
        files.enemies += "\r\n";
    }

    if (options.poolFromSample > 0) {
        Outcome<Calibration> calibration = calibratedFromSample(model, options.poolFromSample, sample.seed);
        if (!calibration) return calibration.failure();
        files.pool = calibratedPoolText(calibration->pool);
        result.warnings = calibration->warnings;
    } else {
        Outcome<GroupProbabilities> probabilities = groupProbabilities(model);
        if (!probabilities) return probabilities.failure();
        files.pool = probabilityPoolText(model, *probabilities);
    }
    result.responseSeed = splitMix64(sample.seed ^ examineeStream);
    files.responseSeed = result.responseSeed;
    return result;
}

void forEachAbilityResponseLine(const SampleOptions& sample, const AbilityFiles& files,
                                const std::function<void(const std::string&)>& emit) {
    const AbilityModel& model = files.model;
    AbilityRandom random(files.responseSeed);
    std::string line;
    for (std::int64_t e = 1; e <= sample.examinees; ++e) {
        const double ability = random.ability(model.ability);
        char id[32];
        std::snprintf(id, sizeof id, "E%010lld", static_cast<long long>(e));
        line.assign(id);
        line += static_cast<char>('0' + model.groupOf(ability) - 1);
        line += ' ';
        for (const IrtItem& item : model.items) {
            const double answer = random.uniform();
            const double blank = random.uniform();
            line += blank < sample.blankShare ? ' ' : (answer < irtProbability(item, model.scale, ability) ? '1' : '0');
        }
        line += "\r\n";
        emit(line);
    }
}

Status writeAbilityFiles(const SampleOptions& sample, const AbilityFiles& files, const std::string& folder,
                         bool overwrite) {
    return writeSampleFiles(
        files.files,
        [&](const std::function<void(const std::string&)>& emit) { forEachAbilityResponseLine(sample, files, emit); },
        folder, overwrite);
}

}  // namespace quillon
