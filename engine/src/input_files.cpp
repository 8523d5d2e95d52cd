#include "quillon/engine/input_files.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "input_diagnostics.h"
#include "quillon/engine/exposure_control.h"
#include "quillon/engine/fnv1a.h"
#include "quillon/engine/load_diagnostics.h"
#include "quillon/engine/output_tables.h"

namespace quillon {

using namespace input_rules;

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

ItemPool parsePool(const std::vector<std::string>& lines, const RunSettings& settings, const std::string& name,
                   LoadDiagnostics* diagnostics, PoolReading* reading) {
    // Read the item lines first: nothing may be sized by the group count before the file has
    // shown that it holds a probability column for every group.
    const bool everyItemInCollectionOne = settings.maxTestLength == settings.randomizationFactor;
    std::vector<std::vector<CsvField>> rows;
    std::vector<std::size_t> kept;  // indexes into rows
    std::size_t widest = 0;         // probability columns of the widest item line
    // The Sympson–Hetter column, found by its header; the probabilities end before it.
    std::size_t parameterField = 0;
    if (!lines.empty()) {
        const std::vector<std::string> header = csvFields(lines[0]);
        for (std::size_t f = firstProbabilityField; f <= header.size(); ++f)
            if (trimSpaces(header[f - 1]) == exposureParameterHeader) parameterField = f;
    }
    std::vector<double> parameters;
    for (std::size_t row = 3; row < lines.size(); ++row) {
        std::vector<CsvField> fields = csvFieldsWithColumns(lines[row]);
        if (parameterField != 0) {
            const std::string k = trimSpaces(textAt(fields, parameterField));
            const double value = readNumber(k);
            if (!isCleanNumber(k) || !(value >= 0.0 && value <= 1.0)) {
                const std::string problem =
                    std::string(exposureParameterHeader) + " \"" + k + "\" is not a number from 0 to 1";
                if (diagnostics) {
                    // A row that ends before the column is told at its end.
                    const std::size_t column =
                        fields.size() >= parameterField ? fields[parameterField - 1].column : lines[row].size() + 1;
                    Reporter(*diagnostics, name)(static_cast<std::int64_t>(row) + 1, static_cast<std::int64_t>(column),
                                                 DiagnosticKind::Error, problem,
                                                 "give each item's Sympson-Hetter parameter K from 0 to 1, or remove "
                                                 "the column",
                                                 true);
                }
                throw InputError("Pool file " + upperName(name) + " line " + std::to_string(row + 1) + ": " + problem +
                                 ".");
            }
            parameters.push_back(value);
            if (fields.size() >= parameterField) fields.resize(parameterField - 1);
        }
        widest = std::max(widest, fields.size() - std::min<std::size_t>(fields.size(), firstProbabilityField - 1));
        if (!(settings.dropItems && trimSpaces(textAt(fields, 4)) == "1")) kept.push_back(rows.size());
        rows.push_back(std::move(fields));
    }
    if (diagnostics || reading) {
        DiscardedDiagnostics discarded;
        PoolReading unused;
        diagnosePool(lines, rows, widest, !kept.empty(), settings,
                     Reporter(diagnostics ? *diagnostics : discarded, name), reading ? *reading : unused);
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
        if (!fields.empty() && fields[0] == "P_Grp") {
            for (std::size_t g = 0; g < groups; ++g)
                pool.groupPrior[g] =
                    readNumber(g + firstProbabilityField <= fields.size() ? fields[g + firstProbabilityField - 1] : "");
        }
    }
    std::unordered_map<std::int32_t, std::int64_t> collectionSize;
    pool.itemId.reserve(kept.size());
    pool.itemCollection.reserve(kept.size());
    pool.pCorrect.reserve(kept.size() * groups);
    for (const std::size_t row : kept) {
        const std::vector<CsvField>& fields = rows[row];
        pool.itemId.push_back(trimSpaces(textAt(fields, 1)));
        const std::int32_t collection = everyItemInCollectionOne ? 1 : readInteger(textAt(fields, 2));
        pool.itemCollection.push_back(collection);
        for (std::size_t g = 0; g < groups; ++g)
            pool.pCorrect.push_back(readNumber(textAt(fields, firstProbabilityField + g)));
        ++collectionSize[collection];
        if (parameterField != 0) pool.exposureParameter.push_back(parameters[row]);
    }
    pool.itemCount = static_cast<std::int32_t>(pool.itemId.size());
    // Collections 1 up to the highest, in increasing order; 0 and below never enter the deck.
    std::map<std::int32_t, std::int64_t> ordered(collectionSize.begin(), collectionSize.end());
    for (const auto& [collection, size] : ordered) {
        if (collection < 1) continue;
        const double entries = std::nearbyint(static_cast<double>(size) / 10.0);
        for (double k = 0; k < entries; ++k) pool.collectionDeck.push_back(collection);
    }
    if (reading) reading->deck = pool.collectionDeck;
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

std::vector<EnemySet> parseEnemies(const std::vector<std::string>& lines, const ItemPool& pool, const std::string& name,
                                   LoadDiagnostics* diagnostics, std::vector<EnemyRow>* rows) {
    std::unordered_map<std::string, std::int32_t> firstPosition;
    for (std::int32_t i = pool.itemCount; i >= 1; --i) firstPosition[pool.itemId[static_cast<std::size_t>(i - 1)]] = i;
    const std::function<std::int32_t(const std::string&)> positionOf = [&](const std::string& field) {
        const auto found = firstPosition.find(trimSpaces(field));
        return found == firstPosition.end() ? 0 : found->second;
    };
    DiscardedDiagnostics discarded;
    const Reporter report(diagnostics ? *diagnostics : discarded, name);
    std::vector<EnemySet> sets;
    for (std::size_t row = 1; row < lines.size(); ++row) {
        const std::vector<CsvField> fields = csvFieldsWithColumns(lines[row]);
        const std::int32_t named = readInteger(textAt(fields, 2));
        EnemySet set;
        set.positions.push_back(positionOf(textAt(fields, 3)));
        const std::int64_t lastField = static_cast<std::int64_t>(named) + 2;
        const std::int64_t present = std::min<std::int64_t>(lastField, static_cast<std::int64_t>(fields.size()));
        for (std::int64_t n = 4; n <= present; ++n)
            set.positions.push_back(positionOf(fields[static_cast<std::size_t>(n - 1)].text));
        // Named fields past the end of the row are empty and all name the same item (none, unless
        // an item has an empty identifier), so one entry blocks exactly what all of them would.
        if (lastField > present && lastField >= 4) set.positions.push_back(positionOf(std::string()));
        sets.push_back(std::move(set));
        if (diagnostics || rows) {
            EnemyRow read =
                diagnoseEnemyRow(fields, lines[row], static_cast<std::int64_t>(row) + 1, named, positionOf, report);
            if (rows) rows->push_back(std::move(read));
        }
    }
    if (sets.empty()) {
        if (diagnostics)
            report(lines.empty() ? 1 : 2, 1, DiagnosticKind::Error, "the enemies file has no sets after its header",
                   "add one set per line from line 2 on, or turn off Block enemies", true);
        throw InputError("Enemies file " + upperName(name) + " has no enemy sets.");
    }
    return sets;
}

std::vector<EnemySet> parseEnemies(std::string_view bytes, const ItemPool& pool, const std::string& name) {
    return parseEnemies(splitLines(bytes), pool, name);
}

Script parseScript(const std::vector<std::string>& lines, const RunSettings& settings, const std::string& name,
                   LoadDiagnostics* diagnostics) {
    DiscardedDiagnostics discarded;
    const Reporter report(diagnostics ? *diagnostics : discarded, name);
    Script script;
    for (std::size_t row = 1; row < lines.size(); ++row) {
        const std::vector<CsvField> fields = csvFieldsWithColumns(lines[row]);
        const std::string& collection = textAt(fields, 2);
        const std::string& factor = textAt(fields, 4);
        const ScriptSlot slot{readInteger(collection), readInteger(factor)};
        script.slots.push_back(slot);
        // Slots past the test length are never used, so what they hold does not matter.
        if (!diagnostics || static_cast<std::int64_t>(row) > settings.maxTestLength) continue;
        const std::int64_t lineNo = static_cast<std::int64_t>(row) + 1;
        if (!isCleanWholeNumber(collection))
            report(lineNo, columnAt(fields, 2, lines[row]), DiagnosticKind::Warning,
                   "the collection " + inQuotes(collection) + " is not a whole number; it reads as " +
                       std::to_string(slot.slotCollection),
                   "write the collection as a whole number in column B");
        if (!isCleanWholeNumber(factor))
            report(lineNo, columnAt(fields, 4, lines[row]), DiagnosticKind::Warning,
                   "the factor " + inQuotes(factor) + " is not a whole number; it reads as " +
                       std::to_string(slot.slotFactor),
                   "write the randomization factor as a whole number in column D");
        else if (slot.slotFactor < 1)
            report(lineNo, columnAt(fields, 4, lines[row]), DiagnosticKind::Warning,
                   "the factor " + std::to_string(slot.slotFactor) + " is below 1 and counts as 1",
                   "write a factor of 1 or more");
    }
    if (script.slots.empty()) {
        if (diagnostics)
            report(lines.empty() ? 1 : 2, 1, DiagnosticKind::Error, "the script has no slots after its header",
                   "add one line per test position from line 2 on", true);
        throw InputError("Script file " + upperName(name) + " has no slots.");
    }
    if (static_cast<std::int64_t>(script.slots.size()) < settings.maxTestLength) {
        if (diagnostics)
            report(static_cast<std::int64_t>(lines.size()), 1, DiagnosticKind::Error,
                   "the script has " + plural(static_cast<std::int64_t>(script.slots.size()), "slot", "slots") +
                       " but Maximum test length is " + std::to_string(settings.maxTestLength),
                   "add slots up to the test length, or shorten the test", true);
        throw InputError("Script file " + upperName(name) + " has only " + std::to_string(script.slots.size()) +
                         " slots for a test length of " + std::to_string(settings.maxTestLength) + ".");
    }
    return script;
}

Script parseScript(std::string_view bytes, const RunSettings& settings, const std::string& name) {
    return parseScript(splitLines(bytes), settings, name);
}

std::string responseLineId(std::string_view line) {
    return trimSpaces(line.substr(0, std::min<std::size_t>(11, line.size())));
}

ResponseRecord parseResponseLine(std::string_view line, const ResponseLineCheck* check) {
    ResponseRecord record;
    record.trueGroup = 1;
    if (line.size() >= groupColumn && isDigit(line[groupColumn - 1]))
        record.trueGroup = 1 + (line[groupColumn - 1] - '0');
    if (line.size() >= firstAnswerColumn) record.answers.assign(line.substr(firstAnswerColumn - 1));
    if (check && check->diagnostics) [[unlikely]]
        diagnoseResponseLine(line, record, *check);
    return record;
}

std::optional<FileDigest> digestFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Fnv1a hash;
    FileDigest digest;
    std::vector<char> buffer(std::size_t{1} << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        hash.add(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
        digest.bytes += got;
    }
    if (in.bad()) return std::nullopt;
    digest.digest = hash.hex();
    return digest;
}

std::optional<std::string> readWholeFile(const std::string& path, std::size_t maxBytes) {
    if (!isOpenableName(path)) return std::nullopt;
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
        throw FailureError(FailureKind::Output, refusal);
    if (!settings.saveExposure) return;
    if (std::string refusal = sameFileRefusal("Exposure", exposure, "exposure table", inputs); !refusal.empty())
        throw FailureError(FailureKind::Output, refusal);
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

bool liesWithin(const std::string& name, const std::string& folder) {
    if (name.empty() || folder.empty()) return false;
    const std::optional<std::filesystem::path> place = placeOf(name), within = placeOf(folder);
    if (!place || !within) return false;
    auto at = place->begin();
    for (const std::filesystem::path& part : *within) {
        if (part.empty()) continue;  // a folder's trailing separator
        if (at == place->end() || *at != part) return false;
        ++at;
    }
    return true;
}

std::vector<RoleFile> runInputFiles(const RunSettings& settings) {
    std::vector<RoleFile> inputs = {{"pool", settings.poolFile}, {"data", settings.responseFile}};
    if (settings.followScript) inputs.push_back({"script", settings.scriptFile});
    if (settings.blockEnemies) inputs.push_back({"enemies", settings.enemiesFile});
    return inputs;
}

std::string existingOutputsRefusal(const std::vector<std::string>& paths, std::string_view instead) {
    std::string existing;
    int count = 0;
    for (const std::string& path : paths) {
        std::error_code error;
        // A path that cannot be looked at (its folder is a file) is left to the writing, which reports it.
        if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) continue;
        existing += (count++ > 0 ? ", " : "") + path;
    }
    if (count == 0) return {};
    return "Nothing written: " + existing + (count > 1 ? " already exist" : " already exists") +
           ". Use --force to replace " + (count > 1 ? "them" : "it") + ", or " + std::string(instead) + ".";
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

InputFiles loadRunInputs(const RunSettings& settings) {
    InputFiles inputs;
    inputs.pool = parsePool(readInputLines(settings.poolFile, "Pool"), settings, settings.poolFile);
    if (settings.blockEnemies)
        inputs.enemySets =
            parseEnemies(readInputLines(settings.enemiesFile, "Enemies"), inputs.pool, settings.enemiesFile);
    if (settings.followScript)
        inputs.script = parseScript(readInputLines(settings.scriptFile, "Script"), settings, settings.scriptFile);
    return inputs;
}

InputFiles loadInputFiles(const RunSettings& settings) {
    InputFiles inputs = loadRunInputs(settings);
    refuseTablesOverInputs(settings);
    proveResultsWritable(settings);
    return inputs;
}

void proveResultsWritable(const RunSettings& settings) {
    // Opening for appending proves the file can be written without losing what it holds.
    std::FILE* results =
        isOpenableName(settings.resultsFile) ? std::fopen(settings.resultsFile.c_str(), "ab") : nullptr;
    if (!results)
        throw FailureError(FailureKind::Output, "Output file " + upperName(settings.resultsFile) + " has a problem.");
    std::fclose(results);
}

}  // namespace quillon
