#include "quillon/engine/run_settings.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "quillon/engine/output_tables.h"
#include "quillon/engine/run_limits.h"

namespace quillon {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

// "&H1F", "&B101", "&O17" or "&Q17": the digits of the base that follow, 0 when there are none.
double readRadixInteger(std::string_view text, std::size_t at, int base) {
    double value = 0.0;
    for (; at < text.size(); ++at) {
        const int d = digitValue(text[at]);
        if (d >= base) break;
        value = value * base + d;
    }
    return value;
}

}  // namespace

void clearUnreadCosts(RunSettings& settings) {
    if (settings.groupCount != 2) {
        settings.costPassPass = settings.costPassFail = settings.costFailPass = settings.costFailFail = 0.0;
    }
}

void setDefaultPaths(RunSettings& settings, const std::string& folder, char separator) {
    const std::string prefix = folder + separator + "data" + separator;
    settings.poolFile = prefix + std::string(samplePoolName);
    settings.scriptFile = prefix + std::string(sampleScriptName);
    settings.enemiesFile = prefix + std::string(sampleEnemiesName);
    settings.responseFile = prefix + std::string(sampleResponseName);
    settings.resultsFile = prefix + std::string(sampleResultsName);
    settings.exposureFile = prefix + std::string(sampleExposureName);
}

double readNumber(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) ++at;
    if (at + 1 < text.size() && text[at] == '&') {
        switch (text[at + 1]) {
            case 'H':
            case 'h':
                return readRadixInteger(text, at + 2, 16);
            case 'B':
            case 'b':
                return readRadixInteger(text, at + 2, 2);
            case 'O':
            case 'o':
            case 'Q':
            case 'q':
                return readRadixInteger(text, at + 2, 8);
            default:
                return 0.0;
        }
    }
    // The longest prefix of the form [sign] digits [. digits] [exponent]; strtod then converts it
    // with correct rounding once "D" exponents are spelled "E".
    std::string number;
    std::size_t i = at;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) number += text[i++];
    std::size_t mantissaDigits = 0;
    while (i < text.size() && isDigit(text[i])) {
        number += text[i++];
        ++mantissaDigits;
    }
    if (i < text.size() && text[i] == '.') {
        number += text[i++];
        while (i < text.size() && isDigit(text[i])) {
            number += text[i++];
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0) return 0.0;
    if (i < text.size() && (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent += text[j++];
        std::size_t exponentDigits = 0;
        while (j < text.size() && isDigit(text[j])) {
            exponent += text[j++];
            ++exponentDigits;
        }
        if (exponentDigits > 0) number += exponent;
    }
    return std::strtod(number.c_str(), nullptr);
}

std::int32_t roundToInteger(double value) {
    if (std::isnan(value)) return 0;
    const double rounded = std::nearbyint(value);  // the default rounding mode: halves to even
    if (rounded >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (rounded <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(rounded);
}

std::int32_t readInteger(std::string_view text) { return roundToInteger(readNumber(text)); }

std::string_view selectionMethodName(SelectionMethod method) {
    switch (method) {
        case SelectionMethod::Shannon:
            return "Shannon";
        case SelectionMethod::MaxDiscr:
            return "MaxDiscr";
        case SelectionMethod::MinCost:
            return "MinCost";
    }
    return {};
}

std::optional<SelectionMethod> selectionMethodFromName(std::string_view name) {
    for (SelectionMethod method : {SelectionMethod::Shannon, SelectionMethod::MaxDiscr, SelectionMethod::MinCost}) {
        if (name == selectionMethodName(method)) return method;
    }
    return std::nullopt;
}

namespace {

RunSettingsProblem refused(std::string message, std::string_view setting) {
    return {{FailureKind::Usage, std::move(message)}, setting};
}

}  // namespace

std::optional<RunSettingsProblem> findRunSettingsProblem(const RunSettings& settings) {
    if (settings.groupCount < minGroupCount)
        return refused("N Categories must be at least " + std::to_string(minGroupCount) + ".", "categories");
    if (settings.testsPerPerson < minTestsPerPerson || settings.testsPerPerson > maxTestsPerPerson)
        return refused("N tests per person must be from " + std::to_string(minTestsPerPerson) + " to " +
                           std::to_string(maxTestsPerPerson) + ".",
                       "tests-per-person");
    if (settings.maxTestLength < 1) return refused("Maximum test length must be at least 1.", "max-length");
    // Only a value cast from a number can be none of the three.
    if (selectionMethodName(settings.selectionMethod).empty()) return refused(" error in adaptby", "method");
    // 0 has a meaning (the best item; the help page offers it for scripted tests); a negative
    // count of best items has none, and the window cannot produce one.
    if (settings.randomizationFactor < 0) return refused("Randomization factor must be at least 0.", "randomization");
    for (double x : settings.stopProbabilities)
        if (!(x > 0.0 && x < 1.0))  // NaN too
            return refused("Stop probability " + formatPlain(x) + " must lie between 0 and 1 (both excluded).",
                           "stop-probability");
    if (exposureControlName(settings.exposureControl).empty())
        return refused("Unknown exposure control.", "exposure-control");
    if (!(settings.maxExposure > 0.0 && settings.maxExposure <= 1.0))
        return refused(
            "Maximum exposure rate " + formatPlain(settings.maxExposure) + " must lie above 0 and at most 1.",
            "max-exposure");
    return std::nullopt;
}

Status checkRunSettings(const RunSettings& settings) {
    if (std::optional<RunSettingsProblem> problem = findRunSettingsProblem(settings)) return problem->failure;
    return {};
}

}  // namespace quillon
