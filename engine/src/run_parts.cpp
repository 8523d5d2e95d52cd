#include "quillon/engine/run_parts.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <limits>
#include <map>
#include <optional>
#include <sstream>

#include "quillon/engine/examinee_results.h"
#include "quillon/engine/fnv1a.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "run_replay.h"

namespace quillon {

namespace {

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

Outcome<std::string> runDigest(const RunSettings& settings, std::uint32_t seed) {
    std::string problem;
    Fnv1a hash;
    std::string text = "quillon-run 2\nseed " + std::to_string(seed) + "\n";
    text += "maxTestLength " + std::to_string(settings.maxTestLength) + "\n";
    text += "groupCount " + std::to_string(settings.groupCount) + "\n";
    text += "testsPerPerson " + std::to_string(settings.testsPerPerson) + "\n";
    text += "selectionMethod " + std::string(selectionMethodName(settings.selectionMethod)) + "\n";
    text += "randomizationFactor " + std::to_string(settings.randomizationFactor) + "\n";
    text += "stopProbabilities";
    for (double x : settings.stopProbabilities) text += " " + hexFloat(x);
    text += "\n";
    text += "sprtAlpha " + hexFloat(settings.sprtAlpha) + "\nsprtBeta " + hexFloat(settings.sprtBeta) + "\n";
    text += "costs " + hexFloat(settings.costPassPass) + " " + hexFloat(settings.costPassFail) + " " +
            hexFloat(settings.costFailPass) + " " + hexFloat(settings.costFailFail) + "\n";
    text += std::string("dropItems ") + (settings.dropItems ? "1" : "0") + "\nblockEnemies " +
            (settings.blockEnemies ? "1" : "0") + "\nuniformPriors " + (settings.uniformPriors ? "1" : "0") +
            "\nfollowScript " + (settings.followScript ? "1" : "0") + "\n";
    // Only a controlled run names its control, so every earlier digest stays as it was.
    if (settings.exposureControl != ExposureControl::None)
        text += "exposureControl " + std::string(exposureControlName(settings.exposureControl)) + " " +
                hexFloat(settings.maxExposure) + "\n";
    hash.add(text);
    const auto add = [&](const std::string& label, const std::string& path, const char* kind) {
        if (addFile(hash, label, path)) return true;
        problem = std::string(kind) + " file " + upperName(path) + " is not available.";
        return false;
    };
    if (!add("pool", settings.poolFile, "Pool") ||
        (settings.blockEnemies && !add("enemies", settings.enemiesFile, "Enemies")) ||
        (settings.followScript && !add("script", settings.scriptFile, "Script")) ||
        !add("responses", settings.responseFile, "Data"))
        return Failure{FailureKind::Input, problem};
    return hash.hex();
}

std::string runPartText(const RunPart& part) {
    const RunStatistics& s = part.statistics;
    std::string text = std::string(partFormatLine) + "\n";
    text += "digest " + part.digest + "\n";
    text += "shard " + std::to_string(part.shard) + " " + std::to_string(part.shardCount) + "\n";
    text += "lines " + std::to_string(part.lineCount) + "\n";
    text += "range " + std::to_string(part.firstLine) + " " + std::to_string(part.rangeLines) + "\n";
    text += "expected-tests " + std::to_string(part.expectedTests) + "\n";
    text += "shape " + std::to_string(s.exposureCount.size()) + " " + std::to_string(s.lengths.size()) + " " +
            std::to_string(s.stopping.rules().size()) + " " + std::to_string(s.confusion.groupCount()) + "\n";
    text += "tests " + std::to_string(s.testsStarted) + " " + std::to_string(s.testsTaken) + "\n";
    text += "examinees " + std::to_string(s.examinees) + "\n";
    text += "selections " + std::to_string(s.selections) + "\n";
    for (const LengthStatistics& l : s.lengths) {
        text += "length";
        for (std::int64_t count : {l.mapAccurate, l.mapFalsePos, l.mapFalseNeg, l.sprtDecided, l.sprtAccurate,
                                   l.sprtFalsePos, l.sprtFalseNeg, l.bayesAccurate, l.bayesFalsePos, l.bayesFalseNeg})
            text += " " + std::to_string(count);
        writeSum(text, l.mapProbSum);
        writeSum(text, l.bayesProbSum);
        text += "\n";
    }
    const auto counts = [&text](const char* keyword, const std::vector<std::int64_t>& values) {
        text += keyword;
        for (std::int64_t count : values) text += " " + std::to_string(count);
        text += "\n";
    };
    counts("exposure", s.exposureCount);
    counts("stopping", s.stopping.flatCounts());
    counts("confusion", s.confusion.denseCounts());
    const std::vector<ConfusionTable::OtherCount> others = s.confusion.otherCounts();
    text += "confusion-others " + std::to_string(others.size()) + "\n";
    for (const ConfusionTable::OtherCount& o : others)
        text += "other " + std::to_string(o.length) + " " + std::to_string(o.rule) + " " + std::to_string(o.trueGroup) +
                " " + std::to_string(o.decided) + " " + std::to_string(o.tests) + "\n";
    text += std::string("end ") + (s.stop.failed ? "failed" : s.stop.cancelled ? "cut" : "complete") + "\n";
    text += std::string("ended ") + (s.stop.ended ? "1" : "0") + "\n";
    text += "failed-line " + std::to_string(s.stop.failedLine) + "\n";
    text += "messages " + std::to_string(s.stop.messages.size()) + "\n";
    for (const std::string& message : s.stop.messages) text += "message " + message + "\n";
    if (!s.keepsExamineeRows) {
        text += "examinee-rows none\n";
    } else {
        text += "examinee-rows " + std::to_string(s.testsTaken) + "\n";
        // Each row without its CR LF, which the reader puts back.
        for (std::size_t at = 0; at < s.examineeRows.size();) {
            const std::size_t end = s.examineeRows.find("\r\n", at);
            text.append("row ").append(s.examineeRows, at, end - at).append("\n");
            at = end + 2;
        }
    }
    text += "end-of-part\n";
    Fnv1a checksum;
    checksum.add(text);
    return text + "checksum " + checksum.hex() + "\n";
}

namespace {

// Reads a part's lines in order, with the line number for the message of a damaged one.
class PartLines {
public:
    explicit PartLines(std::string_view text) : text_(text) {}

    bool next(std::string& line) {
        if (at_ >= text_.size()) return false;
        const std::size_t end = text_.find('\n', at_);
        if (end == std::string_view::npos) return false;  // every line of a part ends with one
        line.assign(text_.substr(at_, end - at_));
        at_ = end + 1;
        ++number_;
        return true;
    }

    // The next line as its keyword and exactly as many whole numbers as `values`.
    bool numbers(const char* keyword, std::initializer_list<std::int64_t*> values) {
        std::string line;
        if (!next(line)) return false;
        Words w(line);
        if (!w.expect(keyword)) return false;
        for (std::int64_t* value : values)
            if (!w.integer(*value)) return false;
        return w.atEnd();
    }

    // Says where the part is damaged; false, for returning at once.
    bool damaged(std::string& problem, const std::string& why = "") const {
        problem = "is damaged at line " + std::to_string(number_) + (why.empty() ? "." : ": " + why + ".");
        return false;
    }

    bool atEnd() const { return at_ >= text_.size(); }

private:
    std::string_view text_;
    std::size_t at_ = 0;
    std::int64_t number_ = 0;
};

// The counts of a part's statistics add up as a replay's always do; what does not is named.
std::string inconsistency(const RunStatistics& s, const PartShape& shape, const RunPart& part) {
    const std::int64_t bound = shape.expectedTests;
    if (s.testsStarted < 0 || s.testsStarted > bound || s.testsTaken < 0 || s.testsTaken > s.testsStarted)
        return "its test counts are impossible";
    if (s.examinees < 0 || s.examinees > part.lineCount) return "its examinee count is impossible";
    const std::int64_t kept = static_cast<std::int64_t>(s.lengths.size());
    for (std::size_t n = 0; n < s.lengths.size(); ++n) {
        const LengthStatistics& l = s.lengths[n];
        for (std::int64_t c : {l.mapAccurate, l.mapFalsePos, l.mapFalseNeg, l.sprtDecided, l.sprtAccurate,
                               l.sprtFalsePos, l.sprtFalseNeg, l.bayesAccurate, l.bayesFalsePos, l.bayesFalseNeg})
            if (c < 0 || c > s.testsTaken) return "a count at length " + std::to_string(n + 1) + " is impossible";
        const std::int64_t bayes = l.bayesAccurate + l.bayesFalsePos + l.bayesFalseNeg;
        if (l.mapAccurate + l.mapFalsePos + l.mapFalseNeg != s.testsTaken ||
            l.sprtAccurate + l.sprtFalsePos + l.sprtFalseNeg != l.sprtDecided || l.sprtDecided > s.testsTaken ||
            bayes != (s.confusion.groupCount() == 2 ? s.testsTaken : 0))
            return "its outcomes at length " + std::to_string(n + 1) + " do not add up to its tests";
    }
    std::int64_t given = 0;
    for (std::int64_t c : s.exposureCount) {
        if (c < 0 || c > s.testsTaken) return "an exposure count is impossible";
        given += c;
    }
    if (given != s.selections || s.selections != s.testsTaken * kept)
        return "its exposure counts do not add up to the items given";
    const std::vector<std::int64_t> stopping = s.stopping.flatCounts();
    for (std::int64_t c : stopping)
        if (c < 0 || c > s.testsTaken) return "a stopping count is impossible";
    // Per rule: each length's counts and the undecided, each as tests then its three outcomes.
    const std::size_t perRule = 4 * (static_cast<std::size_t>(kept) + 1);
    for (std::size_t at = 0; at + 3 < stopping.size(); at += 4)
        if (stopping[at + 1] + stopping[at + 2] + stopping[at + 3] != stopping[at])
            return "its stopping outcomes do not add up to their tests";
    for (std::size_t r = 0; r <= s.stopping.rules().size(); ++r) {
        const bool fixed = r == s.stopping.rules().size();
        std::int64_t tests = 0;
        for (std::size_t at = r * perRule; at < (fixed ? stopping.size() : (r + 1) * perRule); at += 4)
            tests += stopping[at];
        if (tests != s.testsTaken) return "its stopping counts do not add up to its tests";
    }
    const std::vector<std::int64_t>& dense = s.confusion.denseCounts();
    const std::size_t g = static_cast<std::size_t>(s.confusion.groupCount());
    std::vector<std::int64_t> perLengthRule(static_cast<std::size_t>(kept) * 2, 0);
    for (std::size_t i = 0; i < dense.size(); ++i) {
        if (dense[i] < 0 || dense[i] > s.testsTaken) return "a confusion count is impossible";
        perLengthRule[i / (g * g)] += dense[i];
    }
    for (const ConfusionTable::OtherCount& o : s.confusion.otherCounts()) {
        if (o.tests <= 0 || o.tests > s.testsTaken || o.length < 1 || o.length > kept || o.rule < 0 || o.rule > 1)
            return "a confusion count is impossible";
        perLengthRule[static_cast<std::size_t>(o.length - 1) * 2 + static_cast<std::size_t>(o.rule)] += o.tests;
    }
    for (std::size_t n = 0; n < s.lengths.size(); ++n)
        if (perLengthRule[2 * n] != s.testsTaken || perLengthRule[2 * n + 1] != s.lengths[n].sprtDecided)
            return "its confusion counts at length " + std::to_string(n + 1) + " do not add up to its tests";
    if (s.stop.failed &&
        (s.stop.messages.empty() || s.stop.failedLine <= part.firstLine || s.stop.failedLine > part.lineCount))
        return "its failure is impossible";
    if ((s.stop.failed || s.stop.cancelled) && !s.stop.ended) return "its end is impossible";
    return {};
}

}  // namespace

namespace {

// Reads a part up to its expected tests, after its checksum; the lines stay positioned after them.
bool readHeader(const std::string& text, PartLines& lines, RunPart& p, std::string& problem) {
    std::string line;
    const auto damaged = [&] { return lines.damaged(problem); };
    if (!lines.next(line) || line.rfind("quillon-part ", 0) != 0) {
        problem = "is not a part file.";
        return false;
    }
    if (line != partFormatLine) {
        problem = "is of format \"" + line + "\"; this program reads \"" + partFormatLine + "\".";
        return false;
    }
    // Nothing in a part is used before its checksum has vouched for every byte of it.
    const std::size_t checksumAt = text.rfind("checksum ");
    {
        Fnv1a checksum;
        if (checksumAt != std::string::npos) checksum.add(std::string_view(text).substr(0, checksumAt));
        if (checksumAt == std::string::npos || (checksumAt > 0 && text[checksumAt - 1] != '\n') ||
            text.compare(checksumAt, std::string::npos, "checksum " + checksum.hex() + "\n") != 0) {
            problem = "is damaged: its checksum does not match its contents.";
            return false;
        }
    }
    std::int64_t a = 0, b = 0;
    if (!lines.next(line)) return damaged();
    {
        Words w(line);
        if (!w.expect("digest") || !w.word(p.digest) || p.digest.size() != 16 || !w.atEnd()) return damaged();
    }
    if (!lines.numbers("shard", {&a, &b}) || b < 1 || a < 1 || a > b || b > maxShardCount) return damaged();
    p.shard = static_cast<std::int32_t>(a);
    p.shardCount = static_cast<std::int32_t>(b);
    if (!lines.numbers("lines", {&p.lineCount}) || !lines.numbers("range", {&p.firstLine, &p.rangeLines}) ||
        !lines.numbers("expected-tests", {&p.expectedTests}))
        return damaged();
    return true;
}

}  // namespace

Outcome<RunPart> readRunPartHeader(const std::string& text) {
    PartLines lines(text);
    RunPart p;
    std::string problem;
    if (!readHeader(text, lines, p, problem)) return Failure{FailureKind::Input, problem};
    return p;
}

namespace {

bool readPart(const std::string& text, const PartShape& shape, RunPart& part, std::string& problem) {
    PartLines lines(text);
    RunPart p;
    if (!readHeader(text, lines, p, problem)) return false;
    std::string line;
    std::int64_t a = 0;
    const auto damaged = [&](const std::string& why = "") { return lines.damaged(problem, why); };
    const auto single = [&](const char* keyword, std::int64_t& x) { return lines.numbers(keyword, {&x}); };
    if (p.digest != shape.digest) {
        problem = "is from another run: its input files, settings or seed differ from this merge's.";
        return false;
    }
    const RunStatistics& empty = shape.empty;
    std::int64_t items = 0, kept = 0, rules = 0, groups = 0;
    if (!lines.next(line)) return damaged();
    {
        Words w(line);
        if (!w.expect("shape") || !w.integer(items) || !w.integer(kept) || !w.integer(rules) || !w.integer(groups) ||
            !w.atEnd())
            return damaged();
    }
    // The sizes come from the run's own files, never from the part.
    if (p.lineCount != shape.lineCount || p.expectedTests != shape.expectedTests ||
        items != static_cast<std::int64_t>(empty.exposureCount.size()) ||
        kept != static_cast<std::int64_t>(empty.lengths.size()) ||
        rules != static_cast<std::int64_t>(empty.stopping.rules().size()) || groups != empty.confusion.groupCount() ||
        p.firstLine != p.lineCount * (p.shard - 1) / p.shardCount ||
        p.rangeLines != p.lineCount * p.shard / p.shardCount - p.firstLine) {
        problem = "does not fit this run's files.";
        return false;
    }
    RunStatistics s = empty;
    s.keepsExamineeRows = false;  // only rows the part carries
    if (!lines.numbers("tests", {&s.testsStarted, &s.testsTaken}) || !single("examinees", s.examinees) ||
        !single("selections", s.selections))
        return damaged();
    for (LengthStatistics& l : s.lengths) {
        if (!lines.next(line)) return damaged();
        Words w(line);
        if (!w.expect("length")) return damaged();
        for (std::int64_t* count :
             {&l.mapAccurate, &l.mapFalsePos, &l.mapFalseNeg, &l.sprtDecided, &l.sprtAccurate, &l.sprtFalsePos,
              &l.sprtFalseNeg, &l.bayesAccurate, &l.bayesFalsePos, &l.bayesFalseNeg})
            if (!w.integer(*count)) return damaged();
        if (!w.sum(l.mapProbSum) || !w.sum(l.bayesProbSum) || !w.atEnd()) return damaged();
    }
    const auto counts = [&](const char* keyword, std::vector<std::int64_t>& values) {
        if (!lines.next(line)) return false;
        Words w(line);
        if (!w.expect(keyword)) return false;
        for (std::int64_t& count : values)
            if (!w.integer(count)) return false;
        return w.atEnd();
    };
    std::vector<std::int64_t> stopping = empty.stopping.flatCounts();
    if (!counts("exposure", s.exposureCount) || !counts("stopping", stopping) || !s.stopping.setFlatCounts(stopping) ||
        !counts("confusion", s.confusion.denseCounts()))
        return damaged();
    // Other pairs come only from files that never load (a true group beyond the groups), so a
    // count of them beyond the run's tests is damage, whatever the part says.
    if (!single("confusion-others", a) || a < 0 || a > s.testsTaken * 2 * kept) return damaged();
    for (std::int64_t k = 0; k < a; ++k) {
        std::int64_t length = 0, rule = 0, trueGroup = 0, decided = 0, tests = 0;
        if (!lines.next(line)) return damaged();
        Words w(line);
        if (!w.expect("other") || !w.integer(length) || !w.integer(rule) || !w.integer(trueGroup) ||
            !w.integer(decided) || !w.integer(tests) || !w.atEnd() || length < 1 || length > kept || rule < 0 ||
            rule > 1 || trueGroup < -2147483647 || trueGroup > 2147483647 || decided < -2147483647 ||
            decided > 2147483647)
            return damaged();
        s.confusion.addOther({static_cast<std::int32_t>(length), static_cast<int>(rule),
                              static_cast<std::int32_t>(trueGroup), static_cast<std::int32_t>(decided), tests});
    }
    if (!lines.next(line)) return damaged();
    {
        Words w(line);
        std::string end;
        if (!w.expect("end") || !w.word(end) || !w.atEnd()) return damaged();
        if (end == "failed") {
            s.stop.failed = true;
        } else if (end == "cut") {
            s.stop.cancelled = true;
        } else if (end != "complete") {
            return damaged();
        }
    }
    if (!single("ended", a) || (a != 0 && a != 1)) return damaged();
    s.stop.ended = a == 1;
    if (!single("failed-line", s.stop.failedLine) || !single("messages", a) || a < 0) return damaged();
    for (std::int64_t m = 0; m < a; ++m) {
        if (!lines.next(line) || line.rfind("message ", 0) != 0) return damaged();
        s.stop.messages.push_back(line.substr(8));
    }
    if (!lines.next(line)) return damaged();
    if (line != "examinee-rows none") {
        Words w(line);
        if (!w.expect("examinee-rows") || !w.integer(a) || !w.atEnd() || a != s.testsTaken)
            return damaged("its examinee rows are not one per counted test");
        s.keepsExamineeRows = true;
        const std::size_t fields = examineeRowFields(s.stopping.rules().size());
        for (std::int64_t r = 0; r < a; ++r) {
            if (!lines.next(line) || line.rfind("row ", 0) != 0 || csvFields(line.substr(4)).size() != fields)
                return damaged();
            s.examineeRows.append(line, 4).append("\r\n");
        }
    }
    if (!lines.next(line) || line != "end-of-part" || !lines.next(line) || line.rfind("checksum ", 0) != 0 ||
        !lines.atEnd())
        return damaged();
    if (const std::string why = inconsistency(s, shape, p); !why.empty()) {
        problem = "is damaged: " + why + ".";
        return false;
    }
    p.statistics = std::move(s);
    part = std::move(p);
    return true;
}

// Why the parts cannot be merged, or empty.
std::string mergeRefusal(const std::vector<RunPart>& parts, const std::vector<std::string>& names,
                         const PartShape& shape) {
    if (parts.empty()) return "No part file to merge.";
    const std::int32_t count = parts.front().shardCount;
    std::map<std::int32_t, std::size_t> byShard;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const RunPart& p = parts[i];
        if (p.shardCount != count)
            return "Part file " + names[i] + " is shard " + shardName(p.shard, p.shardCount) + ", but " +
                   names.front() + " is shard " + shardName(parts.front().shard, count) +
                   ": they are from different splits.";
        if (shape.empty.keepsExamineeRows && !p.statistics.keepsExamineeRows)
            return "Part file " + names[i] + " carries no examinee rows: run its shard with --keep-examinees.";
        if (const auto [at, added] = byShard.emplace(p.shard, i); !added)
            return "Shard " + shardName(p.shard, count) + " is given twice: " + names[at->second] + " and " + names[i] +
                   ".";
    }
    std::string missing;
    for (std::int32_t k = 1; k <= count; ++k)
        if (byShard.count(k) == 0) missing += (missing.empty() ? "" : ", ") + std::to_string(k);
    if (!missing.empty())
        return (missing.find(',') == std::string::npos ? "Shard " : "Shards ") + missing + " of " +
               std::to_string(count) + (missing.find(',') == std::string::npos ? " is" : " are") + " missing.";
    // Each part is bounded by the run's tests; together they must be too, before any sum is formed.
    std::int64_t started = 0;
    for (const auto& [shard, index] : byShard) {
        const RunStatistics& s = parts[index].statistics;
        if (__builtin_add_overflow(started, s.testsStarted, &started) || started > shape.expectedTests)
            return "Part file " + names[index] + " and the parts before it count more tests than the run has.";
        if (s.stop.ended) break;
    }
    return {};
}

}  // namespace

Outcome<RunPart> parseRunPart(const std::string& text, const PartShape& shape) {
    RunPart part;
    std::string problem;
    if (!readPart(text, shape, part, problem)) return Failure{FailureKind::Input, problem};
    return part;
}

Outcome<RunStatistics> mergeRunParts(const std::vector<RunPart>& parts, const std::vector<std::string>& names,
                                     const PartShape& shape) {
    if (std::string refusal = mergeRefusal(parts, names, shape); !refusal.empty())
        return Failure{FailureKind::Input, std::move(refusal)};
    std::map<std::int32_t, std::size_t> byShard;
    for (std::size_t i = 0; i < parts.size(); ++i) byShard.emplace(parts[i].shard, i);
    RunStatistics merged = shape.empty;
    for (const auto& [shard, index] : byShard) {
        merged.merge(parts[index].statistics);
        if (merged.stop.ended) break;  // the one-process run ended in this shard's replay
    }
    return merged;
}

RunSummary runShard(const RunSettings& settings, RandomGenerator& random, RunHost& host, int threadCount,
                    std::int32_t shard, std::int32_t shardCount, const std::string& partFile, bool examineeRows) {
    RunSummary summary;
    const auto refuse = [&](const std::string& message) {
        host.showInputMessage(message);
        summary.inputsRejected = true;
        return summary;
    };
    if (shardCount < 1 || shardCount > maxShardCount || shard < 1 || shard > shardCount)
        return refuse("Shard " + shardName(shard, shardCount) +
                      " does not exist: it must be K/N with K from 1 to N and N from 1 to " +
                      std::to_string(maxShardCount) + ".");
    if (const std::string refusal = streamRefusal(settings.responseFile); !refusal.empty()) return refuse(refusal);
    // The part is the shard's only output: it takes the results table's checks (writable, not an
    // input file), and no table is written.
    RunSettings shardSettings = settings;
    shardSettings.resultsFile = partFile;
    shardSettings.saveExposure = false;
    Outcome<PreparedRun> preparing = prepareRun(shardSettings);
    if (!preparing) return refuse(preparing.failure().message);
    PreparedRun& prepared = *preparing;
    RunPart part;
    part.shard = shard;
    part.shardCount = shardCount;
    part.lineCount = prepared.lineCount;
    part.firstLine = prepared.lineCount * (shard - 1) / shardCount;
    part.rangeLines = prepared.lineCount * shard / shardCount - part.firstLine;
    part.expectedTests = prepared.expectedTests;
    // The shard knows no user; its only cancel is the one a display closed by a message gives,
    // which is where the one-process run stops after an "icol error".
    class ShardHost : public RunHost {
    public:
        void showMessage(const std::string&) override {}
        ProgressHandle progressInit(const std::string&) override { return 1; }
        void progressSet(ProgressHandle, const ProgressReport&) override {}
        bool progressIsCancelled(ProgressHandle) override { return shutDown; }
        void progressShutdown(ProgressHandle) override { shutDown = true; }
        bool shutDown = false;
    } shardHost;
    const ProgressHandle handle = shardHost.progressInit("");
    RandomGenerator generator = random;
    Replayed replayed =
        replayExaminees(settings, prepared.inputs, *prepared.responses, prepared.expectedTests, generator, shardHost,
                        handle, {threadCount, nullptr, part.firstLine, part.rangeLines, examineeRows});
    if (prepared.responses->problem() != ReadProblem::None)
        return refuse(readProblemMessage("Data", settings.responseFile, *prepared.responses));
    RunStatistics& statistics = replayed.statistics;
    const std::int64_t rangeEnd = part.firstLine + part.rangeLines;
    if (statistics.stop.ended && !statistics.stop.failed && !statistics.stop.cancelled && rangeEnd < part.lineCount) {
        // After an "icol error" the one-process run stops at its next progress point, which may
        // lie in a later range: replay on to it, so that this part alone decides the end.
        LineReader rest(settings.responseFile);
        if (!rest.isOpen()) return refuse("Data file " + upperName(settings.responseFile) + " is not available.");
        generator = random;
        Replayed more =
            replayExaminees(settings, prepared.inputs, rest, prepared.expectedTests, generator, shardHost, handle,
                            {threadCount, nullptr, rangeEnd, part.lineCount - rangeEnd, examineeRows});
        if (rest.problem() != ReadProblem::None) return refuse(readProblemMessage("Data", settings.responseFile, rest));
        statistics.stop.ended = false;
        statistics.merge(more.statistics);
        statistics.stop.ended = true;
        replayed.candidatesScored += more.candidatesScored;
        replayed.workerThreads = std::max(replayed.workerThreads, more.workerThreads);
    }
    summarizeCounts(summary, statistics, prepared.expectedTests);
    summary.candidatesScored = replayed.candidatesScored;
    summary.workerThreads = replayed.workerThreads;
    const Outcome<std::string> digest = runDigest(settings, random.state());
    if (!digest) {
        host.showMessage(digest.failure().message);
    } else if (!replaceFileContents(partFile,
                                    runPartText({*digest, part.shard, part.shardCount, part.lineCount, part.firstLine,
                                                 part.rangeLines, part.expectedTests, statistics}))) {
        host.showMessage("Part file " + upperName(partFile) + " has a problem.");
    } else {
        summary.completed = true;
    }
    summary.statistics = std::move(statistics);
    return summary;
}

RunSummary runMerge(const RunSettings& settings, RandomGenerator& random, RunHost& host,
                    const std::vector<std::string>& partFiles, const MergeOptions& options) {
    RunSummary summary;
    const auto refuse = [&](const std::string& message) {
        host.showInputMessage(message);
        summary.inputsRejected = true;
        return summary;
    };
    if (const std::string refusal = streamRefusal(settings.responseFile); !refusal.empty()) return refuse(refusal);
    Outcome<PreparedRun> preparing = options.writeTables ? prepareRun(settings) : prepareRunWithoutTables(settings);
    if (!preparing) return refuse(preparing.failure().message);
    PreparedRun& prepared = *preparing;
    const ProgressHandle handle = host.progressInit("Simulation Progress");
    const auto refuseParts = [&](const std::string& message) {
        host.progressShutdown(handle);
        return refuse(message);
    };
    PartShape shape;
    Outcome<std::string> digest = runDigest(settings, random.state());
    if (!digest) return refuseParts(digest.failure().message);
    shape.digest = std::move(*digest);
    shape.lineCount = prepared.lineCount;
    shape.expectedTests = prepared.expectedTests;
    shape.empty = emptyRunStatistics(settings, prepared.inputs.pool.itemCount);
    shape.empty.keepsExamineeRows = options.examineeRows;
    std::vector<RunPart> parts(partFiles.size());
    for (std::size_t i = 0; i < partFiles.size(); ++i) {
        // A part is a few numbers per length and item; anything far larger is not one.
        const std::optional<std::string> text = readWholeFile(partFiles[i]);
        if (!text) return refuseParts("Part file " + partFiles[i] + " is not available.");
        Outcome<RunPart> part = parseRunPart(*text, shape);
        if (!part) return refuseParts("Part file " + partFiles[i] + " " + part.failure().message);
        parts[i] = std::move(*part);
    }
    Outcome<RunStatistics> merging = mergeRunParts(parts, partFiles, shape);
    if (!merging) return refuseParts(merging.failure().message);
    RunStatistics& merged = *merging;
    for (const std::string& message : merged.stop.messages) {
        host.progressShutdown(handle);
        host.showMessage(message);
    }
    summarizeCounts(summary, merged, prepared.expectedTests);
    if (!merged.stop.failed) {
        if (options.writeTables)
            finishRun(settings, prepared.inputs.pool, merged, prepared.expectedTests, host, handle);
        else
            host.progressShutdown(handle);
        summary.completed = true;
    }
    summary.statistics = std::move(merged);
    return summary;
}

}  // namespace quillon
