#include "quillon/input_files.h"

#include <cmath>
#include <algorithm>
#include <filesystem>
#include <map>
#include <unordered_map>

namespace quillon {

namespace {

constexpr char endOfFileMark = 0x1A;

// The pool's item and prior rows keep their probabilities from column E on.
constexpr int firstProbabilityField = 5;

bool isRegularReadable(const std::string& path) {
    if (path.empty()) return false;
    std::error_code error;
    return !std::filesystem::is_directory(path, error);
}

}  // namespace

std::vector<std::string> splitLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    for (; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == endOfFileMark) break;
        if (c == '\r' || c == '\n') {
            lines.emplace_back(bytes.substr(start, i - start));
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
            start = i + 1;
        }
    }
    if (i > start) lines.emplace_back(bytes.substr(start, i - start));
    return lines;
}

LineReader::LineReader(const std::string& path) : buffer_(1 << 16) {
    if (isRegularReadable(path)) file_ = std::fopen(path.c_str(), "rb");
}

LineReader::~LineReader() {
    if (file_) std::fclose(file_);
}

int LineReader::peekByte() {
    if (begin_ == end_) {
        if (ended_ || !file_) return EOF;
        end_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        begin_ = 0;
        if (end_ == 0) {
            ended_ = true;
            return EOF;
        }
    }
    return static_cast<unsigned char>(buffer_[begin_]);
}

int LineReader::nextByte() {
    const int c = peekByte();
    if (c != EOF) ++begin_;
    return c;
}

bool LineReader::nextLine(std::string& line) {
    line.clear();
    int c = nextByte();
    if (c == EOF || c == endOfFileMark) {
        ended_ = true;
        begin_ = end_;
        return false;
    }
    // Copy runs of ordinary bytes straight from the buffer: this loop reads every examinee.
    for (;;) {
        if (c == EOF || c == endOfFileMark) {
            ended_ = true;
            begin_ = end_;
            return true;
        }
        if (c == '\r') {
            if (peekByte() == '\n') ++begin_;
            return true;
        }
        if (c == '\n') return true;
        line.push_back(static_cast<char>(c));
        std::size_t run = begin_;
        while (run < end_) {
            const char b = buffer_[run];
            if (b == '\r' || b == '\n' || b == endOfFileMark) break;
            ++run;
        }
        line.append(buffer_.data() + begin_, run - begin_);
        begin_ = run;
        c = nextByte();
    }
}

std::int64_t LineReader::countLinesAndRewind() {
    // Same line rules as nextLine, but nothing is copied: this pass reads the whole file.
    std::int64_t count = 0;
    bool inLine = false;
    bool afterCr = false;
    while (peekByte() != EOF) {
        const char c = buffer_[begin_++];
        if (c == endOfFileMark) break;
        if (c == '\n' && afterCr) {
            afterCr = false;
            continue;
        }
        afterCr = c == '\r';
        if (c == '\r' || c == '\n') {
            ++count;
            inLine = false;
        } else {
            inLine = true;
        }
    }
    if (inLine) ++count;
    if (file_) {
        std::rewind(file_);
        begin_ = end_ = 0;
        ended_ = false;
    }
    return count;
}

std::vector<CsvField> csvFieldsWithColumns(std::string_view line) {
    std::vector<CsvField> fields;
    std::size_t at = 0;
    for (;;) {
        while (at < line.size() && line[at] == ' ') ++at;
        const std::size_t column = at + 1;
        if (at < line.size() && line[at] == '"') {
            const std::size_t close = line.find('"', at + 1);
            if (close == std::string_view::npos) {
                fields.push_back({std::string(line.substr(at + 1)), column});
                return fields;
            }
            fields.push_back({std::string(line.substr(at + 1, close - at - 1)), column});
            const std::size_t comma = line.find(',', close + 1);
            if (comma == std::string_view::npos) return fields;
            at = comma + 1;
        } else {
            std::size_t comma = line.find(',', at);
            const std::size_t stop = comma == std::string_view::npos ? line.size() : comma;
            std::size_t last = stop;
            while (last > at && line[last - 1] == ' ') --last;
            fields.push_back({std::string(line.substr(at, last - at)), column});
            if (comma == std::string_view::npos) return fields;
            at = comma + 1;
        }
    }
}

std::vector<std::string> csvFields(std::string_view line) {
    std::vector<std::string> texts;
    for (CsvField& field : csvFieldsWithColumns(line)) texts.push_back(std::move(field.text));
    return texts;
}

std::string trimSpaces(std::string_view text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && text[first] == ' ') ++first;
    while (last > first && text[last - 1] == ' ') --last;
    return std::string(text.substr(first, last - first));
}

std::string upperName(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

namespace {

const std::string& fieldAt(const std::vector<std::string>& fields, int n) {
    static const std::string empty;
    return (n >= 1 && static_cast<std::size_t>(n) <= fields.size()) ? fields[static_cast<std::size_t>(n - 1)] : empty;
}

}  // namespace

ItemPool parsePool(std::string_view bytes, const RunSettings& settings, const std::string& name) {
    ItemPool pool;
    pool.groupCount = settings.groupCount;
    const std::size_t groups = static_cast<std::size_t>(std::max(settings.groupCount, 0));
    pool.groupPrior.assign(groups, 0.0);
    const std::vector<std::string> lines = splitLines(bytes);
    if (lines.size() >= 2) pool.calibrationRow = lines[1];
    if (lines.size() >= 3) {
        const std::vector<std::string> fields = csvFields(lines[2]);
        if (fieldAt(fields, 1) == "P_Grp") {
            for (std::size_t g = 0; g < groups; ++g)
                pool.groupPrior[g] = readNumber(fieldAt(fields, firstProbabilityField + static_cast<int>(g)));
        }
    }
    const bool everyItemInCollectionOne = settings.maxTestLength == settings.randomizationFactor;
    std::unordered_map<std::int32_t, std::int64_t> collectionSize;
    for (std::size_t row = 3; row < lines.size(); ++row) {
        const std::vector<std::string> fields = csvFields(lines[row]);
        if (settings.dropItems && trimSpaces(fieldAt(fields, 4)) == "1") continue;
        pool.itemId.push_back(trimSpaces(fieldAt(fields, 1)));
        const std::int32_t collection = everyItemInCollectionOne ? 1 : readInteger(fieldAt(fields, 2));
        pool.itemCollection.push_back(collection);
        for (std::size_t g = 0; g < groups; ++g)
            pool.pCorrect.push_back(readNumber(fieldAt(fields, firstProbabilityField + static_cast<int>(g))));
        ++collectionSize[collection];
    }
    pool.itemCount = static_cast<std::int32_t>(pool.itemId.size());
    if (pool.itemCount == 0) throw InputError("Pool file " + upperName(name) + " has no items.");
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

std::vector<EnemySet> parseEnemies(std::string_view bytes, const ItemPool& pool, const std::string& name) {
    std::unordered_map<std::string, std::int32_t> firstPosition;
    for (std::int32_t i = pool.itemCount; i >= 1; --i) firstPosition[pool.itemId[static_cast<std::size_t>(i - 1)]] = i;
    const auto positionOf = [&](const std::string& field) {
        const auto found = firstPosition.find(trimSpaces(field));
        return found == firstPosition.end() ? 0 : found->second;
    };
    std::vector<EnemySet> sets;
    const std::vector<std::string> lines = splitLines(bytes);
    for (std::size_t row = 1; row < lines.size(); ++row) {
        const std::vector<std::string> fields = csvFields(lines[row]);
        const std::int32_t named = readInteger(fieldAt(fields, 2));
        EnemySet set;
        set.positions.push_back(positionOf(fieldAt(fields, 3)));
        const std::int64_t lastField = static_cast<std::int64_t>(named) + 2;
        const std::int64_t present = std::min<std::int64_t>(lastField, static_cast<std::int64_t>(fields.size()));
        for (std::int64_t n = 4; n <= present; ++n) set.positions.push_back(positionOf(fields[static_cast<std::size_t>(n - 1)]));
        // Named fields past the end of the row are empty and all name the same item (none, unless
        // an item has an empty identifier), so one entry blocks exactly what all of them would.
        if (lastField > present && lastField >= 4) set.positions.push_back(positionOf(std::string()));
        sets.push_back(std::move(set));
    }
    if (sets.empty()) throw InputError("Enemies file " + upperName(name) + " has no enemy sets.");
    return sets;
}

Script parseScript(std::string_view bytes, const RunSettings& settings, const std::string& name) {
    Script script;
    const std::vector<std::string> lines = splitLines(bytes);
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

ResponseRecord parseResponseLine(std::string_view line) {
    ResponseRecord record;
    record.trueGroup = 1;
    if (line.size() >= 12 && line[11] >= '0' && line[11] <= '9') record.trueGroup = 1 + (line[11] - '0');
    if (line.size() > 13) record.answers.assign(line.substr(13));
    return record;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    if (!isRegularReadable(path)) return std::nullopt;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    std::string bytes;
    char chunk[1 << 16];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return std::nullopt;
    return bytes;
}

InputFiles loadInputFiles(const RunSettings& settings) {
    InputFiles inputs;
    const auto read = [](const std::string& path, const char* kind) {
        std::optional<std::string> bytes = readWholeFile(path);
        if (!bytes) throw InputError(std::string(kind) + " file " + upperName(path) + " is not available.");
        return std::move(*bytes);
    };
    inputs.pool = parsePool(read(settings.poolFile, "Pool"), settings, settings.poolFile);
    if (settings.blockEnemies)
        inputs.enemySets = parseEnemies(read(settings.enemiesFile, "Enemies"), inputs.pool, settings.enemiesFile);
    if (settings.followScript)
        inputs.script = parseScript(read(settings.scriptFile, "Script"), settings, settings.scriptFile);
    // Opening for appending proves the file can be written without losing what it holds.
    std::FILE* results = isRegularReadable(settings.resultsFile) ? std::fopen(settings.resultsFile.c_str(), "ab") : nullptr;
    if (!results) throw InputError("Output file " + upperName(settings.resultsFile) + " has a problem.");
    std::fclose(results);
    return inputs;
}

}  // namespace quillon
