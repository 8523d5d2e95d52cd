#include "quillon/engine/sample_data.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string_view>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/run_limits.h"
#include "quillon/engine/run_settings.h"

namespace quillon {

namespace {

// Only the engine's own arithmetic on the raw 64-bit stream: the standard distributions are
// not the same on every platform.
class SampleRandom {
public:
    explicit SampleRandom(std::uint64_t seed) : engine_(seed) {}
    std::uint64_t next64() { return engine_(); }
    double uniform() { return static_cast<double>(engine_() >> 11) * (1.0 / 9007199254740992.0); }
    std::int64_t below(std::int64_t n) {
        return std::min<std::int64_t>(n - 1, static_cast<std::int64_t>(uniform() * static_cast<double>(n)));
    }

private:
    std::mt19937_64 engine_;
};

// Probabilities are kept in thousandths so their text is exact everywhere.
std::string thousandths(std::int64_t value) {
    if (value <= 0) return "0";
    if (value >= 1000) return "1";
    std::string digits = std::to_string(value);
    digits.insert(0, 3 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    return "." + digits;
}

std::string itemName(std::int32_t i) {
    std::string digits = std::to_string(i);
    if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
    return "I" + digits;
}

// The priors for the given shares, in thousandths adding up to exactly 1000: each share's
// whole thousandths, and the thousandths left over to the largest remainders (the earlier
// group first on a tie). Integer arithmetic on billionths, so the result is the same everywhere.
std::vector<std::int64_t> priorsFromShares(const std::vector<double>& shares) {
    std::vector<std::int64_t> billionths;
    std::int64_t total = 0;
    for (double share : shares) {
        billionths.push_back(std::llround(share * 1e9));
        total += billionths.back();
    }
    std::vector<std::int64_t> prior, remainder;
    std::int64_t left = 1000;
    for (std::int64_t b : billionths) {
        prior.push_back(b * 1000 / total);
        remainder.push_back(b * 1000 % total);
        left -= prior.back();
    }
    for (; left > 0; --left) {
        const auto largest = std::max_element(remainder.begin(), remainder.end()) - remainder.begin();
        ++prior[static_cast<std::size_t>(largest)];
        remainder[static_cast<std::size_t>(largest)] = -1;
    }
    return prior;
}

std::string shareText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// What is wrong with the options, or empty.
std::string sampleOptionsProblem(const SampleOptions& o) {
    const auto outside = [](const char* option, auto value, std::int64_t low, std::int64_t high) {
        if (value >= low && value <= high) return std::string();
        return std::string(option) + " must be from " + std::to_string(low) + " to " + std::to_string(high) + ".";
    };
    // Sizes past what is generated in reasonable memory, time and disk, and a group digit past 9.
    // No test outlasts a pool, so no script slot past the most items is ever used.
    for (const std::string& problem :
         {outside("--items", o.items, 1, maxGeneratedItems), outside("--collections", o.collections, 1, 8),
          outside("--groups", o.groups, minGroupCount, maxResponseGroup),
          outside("--examinees", o.examinees, 0, maxGeneratedExaminees),
          outside("--script-length", o.scriptLength, 1, maxGeneratedItems)})
        if (!problem.empty()) return problem;
    if (!(o.blankShare >= 0.0 && o.blankShare <= 1.0)) return "--blank-share must be from 0 to 1.";
    std::int64_t weights = 0;
    for (std::int32_t c = 1; c <= o.collections; ++c) weights += c;
    if (o.items * std::int64_t{1} < weights) return "--items must be at least the sum 1 + ... + collections.";
    if (!(o.itemQuality >= 0.0 && std::isfinite(o.itemQuality))) return "--item-quality must be a number from 0 up.";
    if (o.groupShares.empty()) return {};
    if (o.groupShares.size() != static_cast<std::size_t>(o.groups))
        return "--group-shares needs one share for each of the " + std::to_string(o.groups) + " groups, not " +
               std::to_string(o.groupShares.size()) + ".";
    double sum = 0.0;
    for (std::size_t g = 0; g < o.groupShares.size(); ++g) {
        const double share = o.groupShares[g];
        if (!(share > 0.0 && share < 1.0))
            return "--group-shares: the share of group " + std::to_string(g + 1) + " (" + shareText(share) +
                   ") must be above 0 and below 1.";
        sum += share;
    }
    if (!(std::fabs(sum - 1.0) <= 1e-9)) return "--group-shares must add up to 1, not " + shareText(sum) + ".";
    const std::vector<std::int64_t> prior = priorsFromShares(o.groupShares);
    for (std::size_t g = 0; g < prior.size(); ++g)
        if (prior[g] < 1)
            return "--group-shares: the share of group " + std::to_string(g + 1) +
                   " is too small for the pool's priors, written in thousandths (give at least .001).";
    return {};
}

}  // namespace

Status checkSampleOptions(const SampleOptions& options) {
    if (std::string problem = sampleOptionsProblem(options); !problem.empty())
        return Failure{FailureKind::Usage, std::move(problem)};
    return {};
}

SampleFiles generateSampleFiles(const SampleOptions& o) {
    SampleRandom random(o.seed);
    SampleFiles files;
    const std::string crlf = "\r\n";

    // Collection c gets a share of the items proportional to c; the largest takes the rest.
    std::int64_t weights = 0;
    for (std::int32_t c = 1; c <= o.collections; ++c) weights += c;
    std::vector<std::int32_t> collectionSize(static_cast<std::size_t>(o.collections));
    std::int32_t assigned = 0;
    for (std::int32_t c = 1; c < o.collections; ++c) {
        collectionSize[static_cast<std::size_t>(c - 1)] =
            static_cast<std::int32_t>(o.items * std::int64_t{c} / weights);
        assigned += collectionSize[static_cast<std::size_t>(c - 1)];
    }
    collectionSize.back() = o.items - assigned;
    std::vector<std::int32_t> itemCollection;
    for (std::int32_t c = 1; c <= o.collections; ++c)
        itemCollection.insert(itemCollection.end(),
                              static_cast<std::size_t>(collectionSize[static_cast<std::size_t>(c - 1)]), c);
    for (std::size_t i = itemCollection.size(); i > 1; --i)
        std::swap(itemCollection[i - 1],
                  itemCollection[static_cast<std::size_t>(random.below(static_cast<std::int64_t>(i)))]);

    // Priors in thousandths summing to exactly 1.
    std::vector<std::int64_t> prior(static_cast<std::size_t>(o.groups));
    std::int64_t priorLeft = 1000;
    for (std::int32_t g = 0; g + 1 < o.groups; ++g) {
        const std::int64_t share = (1000 / o.groups) + random.below(41) - 20;
        prior[static_cast<std::size_t>(g)] = share;
        priorLeft -= share;
    }
    prior.back() = priorLeft;
    // Given shares replace the drawn priors; the draws above are still taken, so that the items
    // are the same as without shares.
    if (!o.groupShares.empty()) prior = priorsFromShares(o.groupShares);

    // Each item: a chance of a right answer that rises from group to group.
    std::vector<std::int64_t> pCorrect(static_cast<std::size_t>(o.items) * static_cast<std::size_t>(o.groups));
    for (std::int32_t i = 0; i < o.items; ++i) {
        std::int64_t p = 250 + random.below(351);
        for (std::int32_t g = 0; g < o.groups; ++g) {
            if (g > 0) p = std::min<std::int64_t>(970, p + (100 + random.below(201)) / (o.groups - 1));
            pCorrect[static_cast<std::size_t>(i) * static_cast<std::size_t>(o.groups) + static_cast<std::size_t>(g)] =
                p;
        }
    }
    // Item quality moves each probability away from (or towards) the item's mean over the groups:
    // round((S + Q * (G * p - S)) / G) with S the sum of the item's G probabilities, in
    // thousandths. For Q = 1 this is p exactly; the drawn values stay within the clamp.
    if (o.itemQuality != 1.0) {
        const auto groupCount = static_cast<std::size_t>(o.groups);
        for (std::size_t i = 0; i < static_cast<std::size_t>(o.items); ++i) {
            std::int64_t* item = &pCorrect[i * groupCount];
            std::int64_t sum = 0;
            for (std::size_t g = 0; g < groupCount; ++g) sum += item[g];
            for (std::size_t g = 0; g < groupCount; ++g) {
                const double spread = static_cast<double>(o.groups * item[g] - sum);
                const double moved = (static_cast<double>(sum) + o.itemQuality * spread) / o.groups;
                item[g] = std::clamp<std::int64_t>(std::llround(std::clamp(moved, 0.0, 1000.0)), 10, 990);
            }
        }
    }

    std::string& pool = files.pool;
    pool = "Item_ID,Collection,Freq,dropQQ";
    for (std::int32_t g = 1; g <= o.groups; ++g) pool += "," + std::to_string(g);
    pool += crlf + "N,,,";
    for (std::int32_t g = 0; g < o.groups; ++g) pool += ",500";
    pool += crlf + "P_Grp, , , ";
    for (std::int64_t value : prior) pool.append(",").append(thousandths(value));
    pool += crlf;
    for (std::int32_t i = 0; i < o.items; ++i) {
        pool += itemName(i + 1) + "," + std::to_string(itemCollection[static_cast<std::size_t>(i)]) + ",,0";
        for (std::int32_t g = 0; g < o.groups; ++g)
            pool.append(",").append(
                thousandths(pCorrect[static_cast<std::size_t>(i) * static_cast<std::size_t>(o.groups) +
                                     static_cast<std::size_t>(g)]));
        pool += crlf;
    }

    // Script: each collection's slots in proportion to its size (never more than its items),
    // in a shuffled order, with factors 1 to 3.
    std::vector<std::int32_t> slots;
    for (std::int32_t c = 1; c <= o.collections; ++c) {
        const std::int64_t size = collectionSize[static_cast<std::size_t>(c - 1)];
        const std::int64_t wanted =
            std::min<std::int64_t>(size, (static_cast<std::int64_t>(o.scriptLength) * size + o.items / 2) / o.items);
        slots.insert(slots.end(), static_cast<std::size_t>(wanted), c);
    }
    for (std::int32_t c = o.collections; static_cast<std::int32_t>(slots.size()) < o.scriptLength;
         c = c > 1 ? c - 1 : o.collections)
        slots.push_back(c);
    slots.resize(static_cast<std::size_t>(o.scriptLength));
    for (std::size_t i = slots.size(); i > 1; --i)
        std::swap(slots[i - 1], slots[static_cast<std::size_t>(random.below(static_cast<std::int64_t>(i)))]);
    files.script = "Slot,Collection,Label,Factor" + crlf;
    for (std::size_t k = 0; k < slots.size(); ++k)
        files.script += std::to_string(k + 1) + "," + std::to_string(slots[k]) + ",C" + std::to_string(slots[k]) + "," +
                        std::to_string(1 + random.below(3)) + crlf;

    // Enemies: up to a dozen sets of two or three distinct items.
    const std::int32_t setCount = std::max(1, std::min(12, o.items / 10));
    files.enemies = "Set,N,Item1,Item2,Item3" + crlf;
    for (std::int32_t s = 1; s <= setCount; ++s) {
        const std::int32_t size = std::min<std::int32_t>(o.items, static_cast<std::int32_t>(2 + random.below(2)));
        std::vector<std::int32_t> members;
        while (static_cast<std::int32_t>(members.size()) < size) {
            const auto item = static_cast<std::int32_t>(1 + random.below(o.items));
            if (std::find(members.begin(), members.end(), item) == members.end()) members.push_back(item);
        }
        files.enemies += "E" + std::to_string(s) + "," + std::to_string(size);
        for (std::int32_t member : members) files.enemies.append(",").append(itemName(member));
        files.enemies += crlf;
    }

    files.responseSeed = random.next64();
    files.priorThousandths = std::move(prior);
    files.pCorrectThousandths = std::move(pCorrect);
    return files;
}

void forEachResponseLine(const SampleOptions& o, const SampleFiles& files,
                         const std::function<void(const std::string&)>& emit) {
    SampleRandom random(files.responseSeed);
    const std::vector<std::int64_t>& prior = files.priorThousandths;
    // Characters 1 to 11 the identifier, 12 the group digit (0 for group 1), 13 a blank, then the answers.
    std::string line;
    for (std::int64_t e = 1; e <= o.examinees; ++e) {
        std::int64_t draw = random.below(1000);
        std::int32_t group = 0;
        while (group + 1 < o.groups && draw >= prior[static_cast<std::size_t>(group)])
            draw -= prior[static_cast<std::size_t>(group++)];
        char id[32];
        std::snprintf(id, sizeof id, "E%010lld", static_cast<long long>(e));
        line.assign(id);
        line += static_cast<char>('0' + group);
        line += ' ';
        for (std::int32_t i = 0; i < o.items; ++i) {
            // The nearest double to the written thousandths, as the pool loader reads it.
            const double p =
                static_cast<double>(
                    files.pCorrectThousandths[static_cast<std::size_t>(i) * static_cast<std::size_t>(o.groups) +
                                              static_cast<std::size_t>(group)]) /
                1000.0;
            const double answer = random.uniform();
            const double blank = random.uniform();
            line += blank < o.blankShare ? ' ' : (answer < p ? '1' : '0');
        }
        line += "\r\n";
        emit(line);
    }
}

Status writeSampleFiles(const SampleOptions& options, const SampleFiles& files, const std::string& folder,
                        bool overwrite) {
    return writeSampleFiles(
        files, [&](const std::function<void(const std::string&)>& emit) { forEachResponseLine(options, files, emit); },
        folder, overwrite);
}

Status writeSampleFiles(const SampleFiles& files, const ResponseLines& responses, const std::string& folder,
                        bool overwrite) {
    const auto refused = [](std::string message) { return Failure{FailureKind::Output, std::move(message)}; };
    const std::string prefix = folder.empty() ? std::string() : folder + "/";
    if (!overwrite) {
        std::vector<std::string> paths;
        for (std::string_view name : {samplePoolName, sampleScriptName, sampleEnemiesName, sampleResponseName})
            paths.push_back(prefix + std::string(name));
        if (std::string refusal = existingOutputsRefusal(paths, "another --out folder"); !refusal.empty())
            return refused(std::move(refusal));
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::pair<std::string_view, const std::string*> outputs[] = {
        {samplePoolName, &files.pool}, {sampleScriptName, &files.script}, {sampleEnemiesName, &files.enemies}};
    for (const auto& [name, content] : outputs) {
        const std::string path = prefix + std::string(name);
        if (!replaceFileContents(path, *content)) return refused("Cannot write " + path + ".");
    }
    // The response file can be far larger than memory: it is streamed to a temporary file.
    const std::string path = prefix + std::string(sampleResponseName);
    FileReplacement file(path);
    responses([&](const std::string& line) { file.write(line); });
    if (!file.commit()) return refused("Cannot write " + path + ".");
    return {};
}

}  // namespace quillon
