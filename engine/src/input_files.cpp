#include "quillon/engine/input_files.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "quillon/engine/output_tables.h"

namespace quillon {

namespace {

// The pool's item and prior rows keep their probabilities from column E on.
constexpr int firstProbabilityField = 5;

bool isRegularReadable(const std::string& path) {
    if (path.empty()) return false;
    std::error_code error;
    return !std::filesystem::is_directory(path, error);
}

}  // namespace

std::string readProblemMessage(std::string_view kind, const std::string& name, const LineReader& reader) {
    const std::string file = std::string(kind) + " file " + upperName(name);
    switch (reader.problem()) {
        case ReadProblem::LineTooLong:
            return file + " has a problem: line " + std::to_string(reader.problemLine()) + " is longer than " +
                   std::to_string(maxLineLength >> 20) + " MB.";
        case ReadProblem::CopyFailed:
            return file + " has a problem: it can be read only once, and no temporary copy of it could be made.";
        case ReadProblem::ReadFailed:
        case ReadProblem::None:
            break;
    }
    return file + " is not available.";
}

namespace {

const std::string& fieldAt(const std::vector<std::string>& fields, int n) {
    static const std::string empty;
    return (n >= 1 && static_cast<std::size_t>(n) <= fields.size()) ? fields[static_cast<std::size_t>(n - 1)] : empty;
}

}  // namespace

ItemPool parsePool(const std::vector<std::string>& lines, const RunSettings& settings, const std::string& name) {
    // Read the item lines first: nothing may be sized by the group count before the file has
    // shown that it holds a probability column for every group.
    const bool everyItemInCollectionOne = settings.maxTestLength == settings.randomizationFactor;
    std::vector<std::vector<std::string>> kept;
    std::size_t widest = 0;  // probability columns of the widest item line
    for (std::size_t row = 3; row < lines.size(); ++row) {
        std::vector<std::string> fields = csvFields(lines[row]);
        widest = std::max(widest, fields.size() - std::min<std::size_t>(fields.size(), firstProbabilityField - 1));
        if (settings.dropItems && trimSpaces(fieldAt(fields, 4)) == "1") continue;
        kept.push_back(std::move(fields));
    }
    if (kept.empty()) throw InputError("Pool file " + upperName(name) + " has no items.");
    if (static_cast<std::int64_t>(widest) < settings.groupCount)
        throw InputError("Pool file " + upperName(name) + " has " + std::to_string(widest) + " probability column" +
                         (widest == 1 ? "" : "s") + " (from column E on), fewer than N Categories (" +
                         std::to_string(settings.groupCount) + ").");

    ItemPool pool;
    pool.groupCount = settings.groupCount;
    const std::size_t groups = static_cast<std::size_t>(std::max(settings.groupCount, 0));
    pool.groupPrior.assign(groups, 0.0);
    if (lines.size() >= 2) pool.calibrationRow = lines[1];
    if (lines.size() >= 3) {
        const std::vector<std::string> fields = csvFields(lines[2]);
        if (fieldAt(fields, 1) == "P_Grp") {
            for (std::size_t g = 0; g < groups; ++g)
                pool.groupPrior[g] = readNumber(fieldAt(fields, firstProbabilityField + static_cast<int>(g)));
        }
    }
    std::unordered_map<std::int32_t, std::int64_t> collectionSize;
    pool.itemId.reserve(kept.size());
    pool.itemCollection.reserve(kept.size());
    pool.pCorrect.reserve(kept.size() * groups);
    for (const std::vector<std::string>& fields : kept) {
        pool.itemId.push_back(trimSpaces(fieldAt(fields, 1)));
        const std::int32_t collection = everyItemInCollectionOne ? 1 : readInteger(fieldAt(fields, 2));
        pool.itemCollection.push_back(collection);
        for (std::size_t g = 0; g < groups; ++g)
            pool.pCorrect.push_back(readNumber(fieldAt(fields, firstProbabilityField + static_cast<int>(g))));
        ++collectionSize[collection];
    }
    pool.itemCount = static_cast<std::int32_t>(pool.itemId.size());
    // Collections 1 up to the highest, in increasing order; 0 and below never enter the deck.
    std::map<std::int32_t, std::int64_t> ordered(collectionSize.begin(), collectionSize.end());
    for (const auto& [collection, size] : ordered) {
        if (collection < 1) continue;
        const double entries = std::nearbyint(static_cast<double>(size) / 10.0);
        for (double k = 0; k < entries; ++k) pool.collectionDeck.push_back(collection);
    }
    if (!settings.uniformPriors) {
        double sum = 0.0;
        for (double prior : pool.groupPrior) sum += prior;
        if (sum <= 0.0)
            throw InputError("Pool file " + upperName(name) +
                             " has no group priors; turn on Uniform Priors or add a P_Grp row.");
    }
    return pool;
}

ItemPool parsePool(std::string_view bytes, const RunSettings& settings, const std::string& name) {
    return parsePool(splitLines(bytes), settings, name);
}

std::vector<EnemySet> parseEnemies(const std::vector<std::string>& lines, const ItemPool& pool,
                                   const std::string& name) {
    std::unordered_map<std::string, std::int32_t> firstPosition;
    for (std::int32_t i = pool.itemCount; i >= 1; --i) firstPosition[pool.itemId[static_cast<std::size_t>(i - 1)]] = i;
    const auto positionOf = [&](const std::string& field) {
        const auto found = firstPosition.find(trimSpaces(field));
        return found == firstPosition.end() ? 0 : found->second;
    };
    std::vector<EnemySet> sets;
    for (std::size_t row = 1; row < lines.size(); ++row) {
        const std::vector<std::string> fields = csvFields(lines[row]);
        const std::int32_t named = readInteger(fieldAt(fields, 2));
        EnemySet set;
        set.positions.push_back(positionOf(fieldAt(fields, 3)));
        const std::int64_t lastField = static_cast<std::int64_t>(named) + 2;
        const std::int64_t present = std::min<std::int64_t>(lastField, static_cast<std::int64_t>(fields.size()));
        for (std::int64_t n = 4; n <= present; ++n)
            set.positions.push_back(positionOf(fields[static_cast<std::size_t>(n - 1)]));
        // Named fields past the end of the row are empty and all name the same item (none, unless
        // an item has an empty identifier), so one entry blocks exactly what all of them would.
        if (lastField > present && lastField >= 4) set.positions.push_back(positionOf(std::string()));
        sets.push_back(std::move(set));
    }
    if (sets.empty()) throw InputError("Enemies file " + upperName(name) + " has no enemy sets.");
    return sets;
}

std::vector<EnemySet> parseEnemies(std::string_view bytes, const ItemPool& pool, const std::string& name) {
    return parseEnemies(splitLines(bytes), pool, name);
}

Script parseScript(const std::vector<std::string>& lines, const RunSettings& settings, const std::string& name) {
    Script script;
    for (std::size_t row = 1; row < lines.size(); ++row) {
        const std::vector<std::string> fields = csvFields(lines[row]);
        script.slots.push_back({readInteger(fieldAt(fields, 2)), readInteger(fieldAt(fields, 4))});
    }
    if (script.slots.empty()) throw InputError("Script file " + upperName(name) + " has no slots.");
    if (static_cast<std::int64_t>(script.slots.size()) < settings.maxTestLength)
        throw InputError("Script file " + upperName(name) + " has only " + std::to_string(script.slots.size()) +
                         " slots for a test length of " + std::to_string(settings.maxTestLength) + ".");
    return script;
}

Script parseScript(std::string_view bytes, const RunSettings& settings, const std::string& name) {
    return parseScript(splitLines(bytes), settings, name);
}

std::string responseLineId(std::string_view line) {
    return trimSpaces(line.substr(0, std::min<std::size_t>(11, line.size())));
}

ResponseRecord parseResponseLine(std::string_view line) {
    ResponseRecord record;
    record.trueGroup = 1;
    if (line.size() >= 12 && line[11] >= '0' && line[11] <= '9') record.trueGroup = 1 + (line[11] - '0');
    if (line.size() > 13) record.answers.assign(line.substr(13));
    return record;
}

std::optional<std::string> readWholeFile(const std::string& path, std::size_t maxBytes) {
    if (!isRegularReadable(path)) return std::nullopt;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    std::string bytes;
    char chunk[1 << 16];
    std::size_t got;
    bool tooLarge = false;
    while (!tooLarge && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
        tooLarge = bytes.size() > maxBytes;
    }
    const bool failed = std::ferror(file) != 0 || tooLarge;
    std::fclose(file);
    if (failed) return std::nullopt;
    return bytes;
}

std::vector<std::string> readInputLines(const std::string& path, const char* kind) {
    LineReader reader(path);
    if (!reader.isOpen()) throw InputError(std::string(kind) + " file " + upperName(path) + " is not available.");
    std::vector<std::string> lines;
    for (std::string line; reader.nextLine(line);) lines.push_back(std::move(line));
    if (reader.problem() != ReadProblem::None) throw InputError(readProblemMessage(kind, path, reader));
    return lines;
}

namespace {

// Where a write to a name leads, whether or not its file exists yet: absolute, with every link
// followed (a last one to a file not made yet too), and "." and ".." resolved. A relative name
// counts from the working folder, as the file is opened, whatever part of it exists.
std::optional<std::filesystem::path> placeOf(const std::string& name) {
    const std::optional<std::string> target = resolveLinks(name);
    if (!target) return std::nullopt;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(*target, error);
    if (error) return std::nullopt;
    const std::filesystem::path place = std::filesystem::weakly_canonical(absolute, error);
    if (error) return std::nullopt;
    return place.lexically_normal();
}

}  // namespace

// Writing a table over one of the run's inputs (or over the other table) would destroy it.
void refuseTablesOverInputs(const RunSettings& settings) {
    const std::vector<RoleFile> inputs = runInputFiles(settings);
    const std::string exposure = trimSpaces(settings.exposureFile);  // the name it is written under
    std::vector<RoleFile> others = inputs;
    // The two tables clash even when neither exists yet: the exposure table would replace the results.
    if (settings.saveExposure) others.push_back({"exposure", exposure});
    if (std::string refusal = sameFileRefusal("Output", settings.resultsFile, "results", others); !refusal.empty())
        throw InputError(refusal);
    if (!settings.saveExposure) return;
    if (std::string refusal = sameFileRefusal("Exposure", exposure, "exposure table", inputs); !refusal.empty())
        throw InputError(refusal);
}

bool namesOneFile(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    // Two existing names are one file when they share device and inode, however they are spelled
    // or linked (hard links included).
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error) && !error) return true;
    const std::optional<std::filesystem::path> placeA = placeOf(a), placeB = placeOf(b);
    return placeA && placeB && *placeA == *placeB;
}

std::vector<RoleFile> runInputFiles(const RunSettings& settings) {
    std::vector<RoleFile> inputs = {{"pool", settings.poolFile}, {"data", settings.responseFile}};
    if (settings.followScript) inputs.push_back({"script", settings.scriptFile});
    if (settings.blockEnemies) inputs.push_back({"enemies", settings.enemiesFile});
    return inputs;
}

std::string sameFileRefusal(std::string_view kind, const std::string& path, std::string_view what,
                            const std::vector<RoleFile>& others) {
    for (const RoleFile& other : others) {
        if (!namesOneFile(path, other.path)) continue;
        return std::string(kind) + " file " + upperName(path) + " is also the " + other.role +
               " file; choose another name for the " + std::string(what) + ".";
    }
    return {};
}

InputFiles loadInputFiles(const RunSettings& settings) {
    InputFiles inputs;
    inputs.pool = parsePool(readInputLines(settings.poolFile, "Pool"), settings, settings.poolFile);
    if (settings.blockEnemies)
        inputs.enemySets =
            parseEnemies(readInputLines(settings.enemiesFile, "Enemies"), inputs.pool, settings.enemiesFile);
    if (settings.followScript)
        inputs.script = parseScript(readInputLines(settings.scriptFile, "Script"), settings, settings.scriptFile);
    refuseTablesOverInputs(settings);
    proveResultsWritable(settings);
    return inputs;
}

void proveResultsWritable(const RunSettings& settings) {
    // Opening for appending proves the file can be written without losing what it holds.
    std::FILE* results =
        isRegularReadable(settings.resultsFile) ? std::fopen(settings.resultsFile.c_str(), "ab") : nullptr;
    if (!results) throw InputError("Output file " + upperName(settings.resultsFile) + " has a problem.");
    std::fclose(results);
}

}  // namespace quillon
