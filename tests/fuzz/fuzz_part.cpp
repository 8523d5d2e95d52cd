// The part reader over arbitrary bodies, each closed with a valid checksum so that the fuzzer
// reaches the checks behind it: a part is either refused with a reason or read into statistics
// whose sums hold and which survive their own text unchanged.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "failure_text.h"
#include "fnv_hex.h"
#include "fuzz_support.h"
#include "quillon/engine/run_parts.h"

namespace {

// The run of the seed corpus: 12 items, lengths up to 3, the SPRT and one stop probability, 6 lines.
const quillon::PartShape& shape() {
    static const quillon::PartShape made = [] {
        quillon::RunSettings settings;
        settings.maxTestLength = 3;
        settings.stopProbabilities = {.9};
        quillon::PartShape s;
        s.digest = "1348d64bccdfadf2";
        s.lineCount = 6;
        s.expectedTests = 6;
        s.empty = quillon::emptyRunStatistics(settings, 12);
        return s;
    }();
    return made;
}

std::string withChecksum(const std::string& body) {
    return body + "checksum " + quillon::testing::fnv1aHex(body) + "\n";
}

bool sameSum(const quillon::ExactSum& a, const quillon::ExactSum& b) {
    const double x = a.value(), y = b.value();
    return x == y || (std::isnan(x) && std::isnan(y));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string text = withChecksum(std::string(quillon::fuzz::asText(data, size)));
    quillon::RunPart part;
    std::string problem;
    if (!(problem = takeInto(quillon::parseRunPart(text, shape()), part)).empty()) {
        FUZZ_CHECK(!problem.empty());
        return 0;
    }
    const quillon::RunStatistics& s = part.statistics;
    FUZZ_CHECK(s.lengths.size() == shape().empty.lengths.size());
    FUZZ_CHECK(s.exposureCount.size() == shape().empty.exposureCount.size());
    FUZZ_CHECK(s.testsTaken >= 0 && s.testsTaken <= s.testsStarted && s.testsStarted <= shape().expectedTests);
    std::int64_t given = 0;
    for (std::int64_t c : s.exposureCount) {
        FUZZ_CHECK(c >= 0);
        given += c;
    }
    FUZZ_CHECK(given == s.selections);
    for (const quillon::LengthStatistics& l : s.lengths)
        FUZZ_CHECK(l.mapAccurate + l.mapFalsePos + l.mapFalseNeg == s.testsTaken);
    // What was read is what its own text says.
    quillon::RunPart again;
    FUZZ_CHECK((problem = takeInto(quillon::parseRunPart(quillon::runPartText(part), shape()), again)).empty());
    FUZZ_CHECK(again.statistics.stopping.flatCounts() == s.stopping.flatCounts());
    FUZZ_CHECK(again.statistics.confusion.text() == s.confusion.text());
    FUZZ_CHECK(again.statistics.exposureCount == s.exposureCount);
    FUZZ_CHECK(again.statistics.stop.messages == s.stop.messages);
    FUZZ_CHECK(again.statistics.examineeRows == s.examineeRows);
    for (std::size_t n = 0; n < s.lengths.size(); ++n) {
        FUZZ_CHECK(sameSum(again.statistics.lengths[n].mapProbSum, s.lengths[n].mapProbSum));
        FUZZ_CHECK(sameSum(again.statistics.lengths[n].bayesProbSum, s.lengths[n].bayesProbSum));
    }
    return 0;
}
