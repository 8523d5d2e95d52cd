#include "quillon/run_parts.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <sstream>

#include "quillon/input_files.h"
#include "quillon/output_tables.h"

namespace quillon {

namespace {

// 64-bit FNV-1a: simple and documented; it tells runs apart, it does not guard against forgery.
class Fnv1a {
public:
    void add(std::string_view bytes) {
        for (unsigned char c : bytes) {
            hash_ ^= c;
            hash_ *= 0x100000001b3ull;
        }
    }
    std::string hex() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016" PRIx64, hash_);
        return text;
    }

private:
    std::uint64_t hash_ = 0xcbf29ce484222325ull;
};

std::string hexFloat(double x) {
    char text[40];
    std::snprintf(text, sizeof text, "%a", x);
    return text;
}

// Hashes a file's size and bytes under a label; false when it cannot be read.
bool addFile(Fnv1a& hash, const std::string& label, const std::string& path) {
    // No size limit: the response file is hashed whole, however large.
    const std::optional<std::string> bytes = readWholeFile(path, std::numeric_limits<std::size_t>::max());
    if (!bytes) return false;
    hash.add(label + " " + std::to_string(bytes->size()) + "\n");
    hash.add(*bytes);
    hash.add("\n");
    return true;
}

void writeSum(std::string& text, const ExactSum& sum) {
    text += " " + std::to_string(sum.partials().size());
    for (double p : sum.partials()) text += " " + hexFloat(p);
    text += sum.hasSpecial() ? " " + hexFloat(sum.special()) : std::string(" -");
}

// Reads the words of one part line.
class Words {
public:
    explicit Words(const std::string& line) : in_(line) {}

    bool word(std::string& w) { return static_cast<bool>(in_ >> w); }

    bool expect(const char* keyword) {
        std::string w;
        return word(w) && w == keyword;
    }

    bool integer(std::int64_t& value) {
        std::string w;
        if (!word(w) || w.empty()) return false;
        char* end = nullptr;
        errno = 0;
        value = std::strtoll(w.c_str(), &end, 10);
        return errno == 0 && *end == '\0';
    }

    bool real(double& value) {
        std::string w;
        if (!word(w) || w.empty()) return false;
        char* end = nullptr;
        value = std::strtod(w.c_str(), &end);
        return *end == '\0';
    }

    bool sum(ExactSum& sum) {
        std::int64_t count = 0;
        if (!integer(count) || count < 0 || count > 100) return false;
        ExactSum restored;
        for (std::int64_t i = 0; i < count; ++i) {
            double p = 0.0;
            if (!real(p) || !std::isfinite(p)) return false;
            restored.add(p);
        }
        std::string special;
        if (!word(special)) return false;
        if (special != "-") {
            char* end = nullptr;
            const double x = std::strtod(special.c_str(), &end);
            if (*end != '\0' || std::isfinite(x)) return false;
            restored.add(x);
        }
        sum = restored;
        return true;
    }

    bool atEnd() {
        std::string rest;
        return !(in_ >> rest);
    }

private:
    std::istringstream in_;
};

void addStatistics(RunStatistics& total, const RunStatistics& part) {
    total.testsStarted += part.testsStarted;
    for (std::size_t i = 0; i < part.exposureCount.size(); ++i) total.exposureCount[i] += part.exposureCount[i];
    for (std::size_t n = 0; n < part.lengths.size(); ++n) {
        LengthStatistics& t = total.lengths[n];
        const LengthStatistics& p = part.lengths[n];
        t.mapAccurate += p.mapAccurate;
        t.mapFalsePos += p.mapFalsePos;
        t.mapFalseNeg += p.mapFalseNeg;
        t.mapProbSum.merge(p.mapProbSum);
        t.sprtDecided += p.sprtDecided;
        t.sprtAccurate += p.sprtAccurate;
        t.sprtFalsePos += p.sprtFalsePos;
        t.sprtFalseNeg += p.sprtFalseNeg;
        t.bayesAccurate += p.bayesAccurate;
        t.bayesFalsePos += p.bayesFalsePos;
        t.bayesFalseNeg += p.bayesFalseNeg;
        t.bayesProbSum.merge(p.bayesProbSum);
    }
}

// A shard or a merge reads the response file more than once, which a pipe cannot give.
std::string streamRefusal(const std::string& responseFile) {
    std::error_code error;
    const auto status = std::filesystem::status(responseFile, error);
    if (error || !std::filesystem::exists(status) || std::filesystem::is_regular_file(status)) return {};
    return "Data file " + upperName(responseFile) + " is not a regular file; shards and merges read it more than once.";
}

std::string shardName(std::int64_t shard, std::int64_t count) {
    return std::to_string(shard) + "/" + std::to_string(count);
}

}  // namespace

std::string runDigest(const RunSettings& settings, std::uint32_t seed, std::string& problem) {
    Fnv1a hash;
    std::string text = "quillon-run 1\nseed " + std::to_string(seed) + "\n";
    text += "maxTestLength " + std::to_string(settings.maxTestLength) + "\n";
    text += "groupCount " + std::to_string(settings.groupCount) + "\n";
    text += "testsPerPerson " + std::to_string(settings.testsPerPerson) + "\n";
    text += "selectionMethod " + settings.selectionMethod + "\n";
    text += "randomizationFactor " + std::to_string(settings.randomizationFactor) + "\n";
    text += "sprtAlpha " + hexFloat(settings.sprtAlpha) + "\nsprtBeta " + hexFloat(settings.sprtBeta) + "\n";
    text += "costs " + hexFloat(settings.costPassPass) + " " + hexFloat(settings.costPassFail) + " " +
            hexFloat(settings.costFailPass) + " " + hexFloat(settings.costFailFail) + "\n";
    text += std::string("dropItems ") + (settings.dropItems ? "1" : "0") + "\nblockEnemies " +
            (settings.blockEnemies ? "1" : "0") + "\nuniformPriors " + (settings.uniformPriors ? "1" : "0") +
            "\nfollowScript " + (settings.followScript ? "1" : "0") + "\n";
    hash.add(text);
    const auto add = [&](const std::string& label, const std::string& path, const char* kind) {
        if (addFile(hash, label, path)) return true;
        problem = std::string(kind) + " file " + upperName(path) + " is not available.";
        return false;
    };
    if (!add("pool", settings.poolFile, "Pool")) return {};
    if (settings.blockEnemies && !add("enemies", settings.enemiesFile, "Enemies")) return {};
    if (settings.followScript && !add("script", settings.scriptFile, "Script")) return {};
    if (!add("responses", settings.responseFile, "Data")) return {};
    return hash.hex();
}

std::string runPartText(const RunPart& part) {
    const ShardState& s = part.state;
    std::string text = std::string(partFormatLine) + "\n";
    text += "digest " + part.digest + "\n";
    text += "shard " + std::to_string(s.shard) + " " + std::to_string(s.shardCount) + "\n";
    text += "lines " + std::to_string(s.lineCount) + "\n";
    text += "range " + std::to_string(s.firstLine) + " " + std::to_string(s.rangeLines) + "\n";
    text += "expected-tests " + std::to_string(s.expectedTests) + "\n";
    text += "examinees " + std::to_string(s.examinees) + "\n";
    text += "tests-started " + std::to_string(s.statistics.testsStarted) + "\n";
    text += "lengths " + std::to_string(s.statistics.lengths.size()) + "\n";
    for (const LengthStatistics& l : s.statistics.lengths) {
        text += "length";
        for (std::int64_t count : {l.mapAccurate, l.mapFalsePos, l.mapFalseNeg, l.sprtDecided, l.sprtAccurate,
                                   l.sprtFalsePos, l.sprtFalseNeg, l.bayesAccurate, l.bayesFalsePos, l.bayesFalseNeg})
            text += " " + std::to_string(count);
        writeSum(text, l.mapProbSum);
        writeSum(text, l.bayesProbSum);
        text += "\n";
    }
    text += "exposure " + std::to_string(s.statistics.exposureCount.size());
    for (std::int64_t count : s.statistics.exposureCount) text += " " + std::to_string(count);
    text += "\n";
    text += std::string("end ") + (s.failed ? "failed" : s.cancelled ? "cut" : "complete") + "\n";
    text += std::string("covers-rest ") + (s.coversRest ? "1" : "0") + "\n";
    text += "failed-line " + std::to_string(s.failedLine) + "\n";
    text += "messages " + std::to_string(s.messages.size()) + "\n";
    for (const std::string& message : s.messages) text += "message " + message + "\n";
    text += "end-of-part\n";
    return text;
}

bool parseRunPart(const std::string& text, RunPart& part, std::string& problem) {
    std::istringstream in(text);
    std::string line;
    std::int64_t lineNumber = 0;
    const auto next = [&] {
        ++lineNumber;
        return static_cast<bool>(std::getline(in, line));
    };
    const auto damaged = [&] {
        problem = "is damaged at line " + std::to_string(lineNumber) + ".";
        return false;
    };
    if (!next() || line.rfind("quillon-part ", 0) != 0) {
        problem = "is not a part file.";
        return false;
    }
    if (line != partFormatLine) {
        problem = "is of format \"" + line + "\"; this program reads \"" + partFormatLine + "\".";
        return false;
    }
    RunPart p;
    ShardState& s = p.state;
    std::int64_t a = 0, b = 0;
    if (!next()) return damaged();
    {
        Words w(line);
        if (!w.expect("digest") || !w.word(p.digest) || p.digest.size() != 16 || !w.atEnd()) return damaged();
    }
    const auto pair = [&](const char* keyword, std::int64_t& x, std::int64_t& y) {
        if (!next()) return false;
        Words w(line);
        return w.expect(keyword) && w.integer(x) && w.integer(y) && w.atEnd();
    };
    const auto single = [&](const char* keyword, std::int64_t& x) {
        if (!next()) return false;
        Words w(line);
        return w.expect(keyword) && w.integer(x) && w.atEnd();
    };
    if (!pair("shard", a, b) || b < 1 || a < 1 || a > b || b > maxShardCount) return damaged();
    s.shard = static_cast<std::int32_t>(a);
    s.shardCount = static_cast<std::int32_t>(b);
    if (!single("lines", s.lineCount) || !pair("range", s.firstLine, s.rangeLines) ||
        !single("expected-tests", s.expectedTests) || !single("examinees", s.examinees) ||
        !single("tests-started", s.statistics.testsStarted) || !single("lengths", a) || a < 0 || a > 1000000)
        return damaged();
    s.statistics.lengths.resize(static_cast<std::size_t>(a));
    for (LengthStatistics& l : s.statistics.lengths) {
        if (!next()) return damaged();
        Words w(line);
        if (!w.expect("length")) return damaged();
        for (std::int64_t* count :
             {&l.mapAccurate, &l.mapFalsePos, &l.mapFalseNeg, &l.sprtDecided, &l.sprtAccurate, &l.sprtFalsePos,
              &l.sprtFalseNeg, &l.bayesAccurate, &l.bayesFalsePos, &l.bayesFalseNeg})
            if (!w.integer(*count)) return damaged();
        if (!w.sum(l.mapProbSum) || !w.sum(l.bayesProbSum) || !w.atEnd()) return damaged();
    }
    if (!next()) return damaged();
    {
        Words w(line);
        if (!w.expect("exposure") || !w.integer(a) || a < 0 || a > 100000000) return damaged();
        s.statistics.exposureCount.resize(static_cast<std::size_t>(a));
        for (std::int64_t& count : s.statistics.exposureCount)
            if (!w.integer(count)) return damaged();
        if (!w.atEnd()) return damaged();
    }
    if (!next()) return damaged();
    {
        Words w(line);
        std::string end;
        if (!w.expect("end") || !w.word(end) || !w.atEnd()) return damaged();
        if (end == "failed") {
            s.failed = true;
        } else if (end == "cut") {
            s.cancelled = true;
        } else if (end != "complete") {
            return damaged();
        }
    }
    if (!single("covers-rest", a) || (a != 0 && a != 1)) return damaged();
    s.coversRest = a == 1;
    if (!single("failed-line", s.failedLine) || !single("messages", a) || a < 0) return damaged();
    for (std::int64_t m = 0; m < a; ++m) {
        if (!next() || line.rfind("message ", 0) != 0) return damaged();
        s.messages.push_back(line.substr(8));
    }
    if (!next() || line != "end-of-part" || next()) return damaged();
    part = std::move(p);
    return true;
}

std::string mergeRunParts(const std::vector<RunPart>& parts, const std::vector<std::string>& names,
                          const std::string& digest, std::int64_t expectedTests, std::size_t itemCount,
                          std::size_t lengthCount, ShardState& merged) {
    if (parts.empty()) return "No part file to merge.";
    const std::int32_t count = parts.front().state.shardCount;
    std::map<std::int32_t, std::size_t> byShard;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const ShardState& s = parts[i].state;
        const std::string name = "Part file " + names[i];
        if (parts[i].digest != digest)
            return name + " is from another run: its input files, settings or seed differ from this merge's.";
        if (s.shardCount != count)
            return name + " is shard " + shardName(s.shard, s.shardCount) + ", but " + names.front() + " is shard " +
                   shardName(parts.front().state.shard, count) + ": they are from different splits.";
        if (s.expectedTests != expectedTests || s.firstLine != s.lineCount * (s.shard - 1) / count ||
            s.rangeLines != s.lineCount * s.shard / count - s.firstLine ||
            s.statistics.exposureCount.size() != itemCount || s.statistics.lengths.size() != lengthCount)
            return name + " does not fit this run's files.";
        if (const auto [at, added] = byShard.emplace(s.shard, i); !added)
            return "Shard " + shardName(s.shard, count) + " is given twice: " + names[at->second] + " and " + names[i] +
                   ".";
    }
    std::string missing;
    for (std::int32_t k = 1; k <= count; ++k)
        if (byShard.count(k) == 0) missing += (missing.empty() ? "" : ", ") + std::to_string(k);
    if (!missing.empty())
        return (missing.find(',') == std::string::npos ? "Shard " : "Shards ") + missing + " of " +
               std::to_string(count) + (missing.find(',') == std::string::npos ? " is" : " are") + " missing.";

    merged = ShardState{};
    merged.shardCount = count;
    merged.expectedTests = expectedTests;
    merged.statistics.lengths.resize(lengthCount);
    merged.statistics.exposureCount.assign(itemCount, 0);
    for (const auto& [shard, index] : byShard) {
        const ShardState& s = parts[index].state;
        merged.lineCount = s.lineCount;
        addStatistics(merged.statistics, s.statistics);
        merged.examinees += s.examinees;
        merged.messages.insert(merged.messages.end(), s.messages.begin(), s.messages.end());
        if (!s.coversRest) continue;
        // The one-process run ended in this shard's replay; later shards count nothing more.
        merged.failed = s.failed;
        merged.failedLine = s.failedLine;
        merged.cancelled = s.cancelled;
        merged.coversRest = true;
        break;
    }
    return {};
}

RunSummary runShard(const RunSettings& settings, RandomGenerator& random, RunHost& host, int threadCount,
                    std::int32_t shard, std::int32_t shardCount, const std::string& partFile) {
    RunSummary refused;
    refused.inputsRejected = true;
    if (shardCount < 1 || shard < 1 || shard > shardCount) {
        host.showInputMessage("Shard " + shardName(shard, shardCount) +
                              " does not exist: it must be K/N with K from 1 to N.");
        return refused;
    }
    if (const std::string refusal = streamRefusal(settings.responseFile); !refusal.empty()) {
        host.showInputMessage(refusal);
        return refused;
    }
    // The part is the shard's only output: it takes the results table's checks (writable, not an
    // input file), and no table is written.
    RunSettings shardSettings = settings;
    shardSettings.resultsFile = partFile;
    shardSettings.saveExposure = false;
    const std::uint32_t seed = random.state();
    RunOptions options;
    options.threadCount = threadCount;
    options.shard = shard;
    options.shardCount = shardCount;
    options.shardDone = [&](const InputFiles&, const ShardState& state) -> std::string {
        std::string problem;
        RunPart part{runDigest(settings, seed, problem), state};
        if (!problem.empty()) return problem;
        if (!replaceFileContents(partFile, runPartText(part)))
            return "Part file " + upperName(partFile) + " has a problem.";
        return {};
    };
    return runSimulation(shardSettings, random, host, options);
}

RunSummary runMerge(const RunSettings& settings, RandomGenerator& random, RunHost& host,
                    const std::vector<std::string>& partFiles) {
    if (const std::string refusal = streamRefusal(settings.responseFile); !refusal.empty()) {
        RunSummary refused;
        refused.inputsRejected = true;
        host.showInputMessage(refusal);
        return refused;
    }
    const std::uint32_t seed = random.state();
    RunOptions options;
    options.mergeParts = [&](std::int64_t expectedTests, const RunStatistics& fresh,
                             ShardState& merged) -> std::string {
        std::string problem;
        const std::string digest = runDigest(settings, seed, problem);
        if (!problem.empty()) return problem;
        std::vector<RunPart> parts(partFiles.size());
        for (std::size_t i = 0; i < partFiles.size(); ++i) {
            const std::optional<std::string> text = readWholeFile(partFiles[i]);
            if (!text) return "Part file " + partFiles[i] + " is not available.";
            if (!parseRunPart(*text, parts[i], problem)) return "Part file " + partFiles[i] + " " + problem;
        }
        return mergeRunParts(parts, partFiles, digest, expectedTests, fresh.exposureCount.size(), fresh.lengths.size(),
                             merged);
    };
    return runSimulation(settings, random, host, options);
}

}  // namespace quillon
