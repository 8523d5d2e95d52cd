#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

/// Whether a diagnostic stops the run (or makes its tables meaningless) or is only probably unintended.
enum class DiagnosticKind { Error, Warning };

/// One problem a parse found at one place of an input file: `line` and `column` are 1-based, `what`
/// says what is wrong and `fix` how to put it right.
struct LoadDiagnostic {
    std::string file;  // the name the parse was given
    std::int64_t line = 1;
    std::int64_t column = 1;
    DiagnosticKind kind = DiagnosticKind::Error;
    std::string what;
    std::string fix;
    bool refusesLoad = false;     // the load is refused for exactly this reason
    std::string_view repeatRule;  // set for a rule that may fire line after line: report the first, count the rest
};

/// Receives the diagnostics of a parse. The parse functions take none by default, and then build
/// no diagnostic at all.
class LoadDiagnostics {
public:
    virtual ~LoadDiagnostics() = default;
    virtual void report(LoadDiagnostic diagnostic) = 0;
};

/// A number as diagnostics show it (six significant digits).
std::string diagnosticNumber(double value);

/// The text in double quotes.
std::string inQuotes(std::string_view text);

/// "1 item", "2 items".
std::string plural(std::int64_t count, const char* one, const char* many);

/// True when the whole text (blanks and tabs around it aside) is one number of `readNumber`'s rule,
/// so that nothing after it is silently thrown away.
bool isCleanNumber(std::string_view text);

/// A clean number that is also a whole number: what an integer field should hold.
bool isCleanWholeNumber(std::string_view text);

}  // namespace quillon
