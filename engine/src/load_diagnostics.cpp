#include "quillon/engine/load_diagnostics.h"

#include <cmath>
#include <cstdio>

#include "input_diagnostics.h"
#include "quillon/engine/run_settings.h"

namespace quillon {

using input_rules::isDigit;

std::string diagnosticNumber(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string inQuotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string plural(std::int64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool isCleanNumber(std::string_view text) {
    std::size_t at = 0;
    std::size_t end = text.size();
    while (at < end && (text[at] == ' ' || text[at] == '\t')) ++at;
    while (end > at && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    if (at == end) return false;
    if (text[at] == '&') {
        if (at + 2 > end) return false;
        int base = 0;
        switch (text[at + 1]) {
            case 'H':
            case 'h':
                base = 16;
                break;
            case 'B':
            case 'b':
                base = 2;
                break;
            case 'O':
            case 'o':
            case 'Q':
            case 'q':
                base = 8;
                break;
            default:
                return false;
        }
        if (at + 2 == end) return false;
        for (std::size_t i = at + 2; i < end; ++i) {
            const char c = text[i];
            const int d = isDigit(c)               ? c - '0'
                          : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                   : 99;
            if (d >= base) return false;
        }
        return true;
    }
    std::size_t i = at;
    if (text[i] == '+' || text[i] == '-') ++i;
    std::size_t digits = 0;
    while (i < end && isDigit(text[i])) ++i, ++digits;
    if (i < end && text[i] == '.') {
        ++i;
        while (i < end && isDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < end && (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
        ++i;
        if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
        std::size_t exponentDigits = 0;
        while (i < end && isDigit(text[i])) ++i, ++exponentDigits;
        if (exponentDigits == 0) return false;
    }
    return i == end;
}

bool isCleanWholeNumber(std::string_view text) {
    if (!isCleanNumber(text)) return false;
    const double value = readNumber(text);
    return std::isfinite(value) && value == std::nearbyint(value);
}

}  // namespace quillon
