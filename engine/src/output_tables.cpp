#include "quillon/engine/output_tables.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "quillon/engine/exposure_control.h"

namespace quillon {

namespace {

constexpr const char* lineEnd = "\r\n";

// "0.25" -> ".25", "-0.25" -> "-.25": the tables never write a zero before the point.
void dropLeadingZero(std::string& text) {
    const std::size_t at = (!text.empty() && text[0] == '-') ? 1 : 0;
    if (text.size() > at + 1 && text[at] == '0' && text[at + 1] == '.') text.erase(at, 1);
}

// One spelling of the special values for every number form of both tables; empty for a
// finite value.
const char* specialValueText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    return "";
}

}  // namespace

std::string formatPlain(double value) {
    if (!std::isfinite(value)) return specialValueText(value);
    if (value == 0.0) return "0";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.14e", value);  // d.dddddddddddddde±x: 15 significant digits
    std::string text(buffer);
    const bool negative = text[0] == '-';
    if (negative) text.erase(0, 1);
    const std::size_t e = text.find('e');
    const int exponent = std::stoi(text.substr(e + 1));
    std::string digits = text.substr(0, 1) + text.substr(2, e - 2);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out = negative ? "-" : "";
    if (exponent >= 15 || exponent < -15) {
        out += digits[0];
        if (digits.size() > 1) out.append(".").append(digits, 1);
        out += exponent < 0 ? "E-" : "E+";
        out += std::to_string(std::abs(exponent));
    } else if (exponent >= 0) {
        const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            out += digits + std::string(whole - digits.size(), '0');
        } else {
            out.append(digits, 0, whole).append(".").append(digits, whole);
        }
    } else {
        out.append(".").append(static_cast<std::size_t>(-exponent - 1), '0').append(digits);
    }
    return out;
}

std::string formatRoundTrip(double value) {
    if (!std::isfinite(value)) return specialValueText(value);
    // The shortest text that reads back as the same double: exact without 17-digit noise.
    char buffer[40];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

std::string formatDecimals(double value, int decimals) {
    if (!std::isfinite(value)) return specialValueText(value);
    char buffer[400];
    // glibc rounds the exact binary value, halves to even, as the masks require.
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text(buffer);
    dropLeadingZero(text);
    return text;
}

std::string fileBesideResults(const std::string& resultsFile, std::string_view suffix, std::string_view extension) {
    const std::size_t slash = resultsFile.find_last_of('/');
    const std::size_t dot = resultsFile.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExtension ? resultsFile.substr(0, dot) : resultsFile;
    const std::string ending = !extension.empty() ? std::string(extension)
                               : hasExtension     ? resultsFile.substr(dot)
                                                  : std::string(".csv");
    return stem + std::string(suffix) + ending;
}

std::string formatThousands(std::int64_t value) {
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    const std::string digits = std::to_string(magnitude);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return std::string(" ") + (value < 0 ? "-" : "") + grouped;
}

std::int64_t roundedPercent(std::int64_t numerator, std::int64_t denominator) {
    if (denominator <= 0 || numerator < 0) return 0;
    // Exact rational rounding, halves to even, so no floating-point step can move a half.
    const std::int64_t scaled = numerator * 100;
    std::int64_t quotient = scaled / denominator;
    const std::int64_t twice = 2 * (scaled % denominator);
    if (twice > denominator || (twice == denominator && quotient % 2 != 0)) quotient += 1;
    return quotient;
}

std::array<Share, 12> resultsShares(const LengthStatistics& s, std::int64_t testsStarted) {
    const auto d = [](std::int64_t count) { return static_cast<double>(count); };
    const std::int64_t map = s.mapAccurate + s.mapFalsePos + s.mapFalseNeg;
    const std::int64_t sprt = s.sprtAccurate + s.sprtFalsePos + s.sprtFalseNeg;
    const std::int64_t bayes = s.bayesAccurate + s.bayesFalsePos + s.bayesFalseNeg;
    return {{{d(s.mapAccurate), map},
             {d(s.mapFalsePos), map},
             {d(s.mapFalseNeg), map},
             {s.mapProbSum.value(), testsStarted},
             {d(s.sprtDecided), testsStarted},
             {d(s.sprtAccurate), sprt},
             {d(s.sprtFalsePos), sprt},
             {d(s.sprtFalseNeg), sprt},
             {d(s.bayesAccurate), bayes},
             {d(s.bayesFalsePos), bayes},
             {d(s.bayesFalseNeg), bayes},
             {s.bayesProbSum.value(), testsStarted}}};
}

std::string resultsTableText(const RunStatistics& statistics, std::int32_t groupCount) {
    std::string text =
        "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,"
        ",SPRTPerClass,SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,"
        ",BR_Accurate,BR_FalsePos,BR_FalseNeg,BR_meanProb";
    text += lineEnd;
    for (std::size_t n = 0; n < statistics.lengths.size(); ++n) {
        const std::array<Share, 12> shares = resultsShares(statistics.lengths[n], statistics.testsStarted);
        text += std::to_string(n + 1);
        const std::size_t written = groupCount == 2 ? shares.size() : 8;
        for (std::size_t m = 0; m < written; ++m) {
            // An empty column before the SPRT's measures and before the Bayes rule's.
            if (m == 4 || m == 8) text += ',';
            text += ',' + formatDecimals(shares[m].written(), m == 4 ? 3 : 4);
        }
        if (groupCount != 2) text += ',';
        text += lineEnd;
    }
    return text;
}

std::string poolField(const std::string& text) {
    // Only a quoted field can hold a comma; every other identifier stays exactly as it was.
    if (text.find(',') == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string exposureTableText(const RunStatistics& statistics, const ItemPool& pool) {
    std::string text = "Item_ID,Collection,Freq,dropQQ";
    for (std::int32_t g = 1; g <= pool.groupCount; ++g) text += ',' + std::to_string(g);
    // A calibrated pool's parameters go on with it, so the table still runs under its control.
    const bool parameters = !pool.exposureParameter.empty();
    if (parameters) text += "," + std::string(exposureParameterHeader);
    text += lineEnd;
    text += pool.calibrationRow;
    text += lineEnd;
    text += "P_Grp, , , ";
    for (double prior : pool.groupPrior) text += ',' + formatPlain(prior);
    text += lineEnd;
    for (std::int32_t i = 1; i <= pool.itemCount; ++i) {
        const std::size_t at = static_cast<std::size_t>(i - 1);
        const std::int64_t used = statistics.exposureCount[at];
        text += poolField(pool.itemId[at]);
        text += ',' + std::to_string(pool.itemCollection[at]);
        text += ',' + std::to_string(used);
        text += used == 0 ? ",1" : ", ";
        const double* p = pool.itemRow(i);
        for (std::int32_t g = 0; g < pool.groupCount; ++g) text += ',' + formatPlain(p[g]);
        if (parameters) text += ',' + formatRoundTrip(pool.exposureParameter[at]);
        text += lineEnd;
    }
    return text;
}

}  // namespace quillon
