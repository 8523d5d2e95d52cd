#pragma once

// The rules each line of an input file is held to while the loaders parse it; they run only when
// someone takes the diagnostics.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/text/csv_fields.h"

namespace quillon::input_rules {

// The pool's item and prior rows keep their probabilities from column E on.
inline constexpr std::size_t firstProbabilityField = 5;
// Which character of a response line holds the true group, and where its answers start.
inline constexpr std::size_t groupColumn = 12;
inline constexpr std::size_t firstAnswerColumn = 14;

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

inline const CsvField* fieldAt(const std::vector<CsvField>& fields, std::size_t n) {
    return (n >= 1 && n <= fields.size()) ? &fields[n - 1] : nullptr;
}

inline const std::string& textAt(const std::vector<CsvField>& fields, std::size_t n) {
    static const std::string empty;
    const CsvField* field = fieldAt(fields, n);
    return field ? field->text : empty;
}

// Where a missing field would start: just past the end of the line.
inline std::int64_t columnAt(const std::vector<CsvField>& fields, std::size_t n, std::string_view line) {
    const CsvField* field = fieldAt(fields, n);
    return field ? static_cast<std::int64_t>(field->column) : static_cast<std::int64_t>(line.size()) + 1;
}

// Takes the diagnostics of a parse that has a reading to fill but no one to tell.
class DiscardedDiagnostics : public LoadDiagnostics {
public:
    void report(LoadDiagnostic) override {}
};

// Reports the diagnostics of one input file under its name.
class Reporter {
public:
    Reporter(LoadDiagnostics& to, const std::string& file) : to_(to), file_(file) {}

    void operator()(std::int64_t line, std::int64_t column, DiagnosticKind kind, std::string what, std::string fix,
                    bool refusesLoad = false, std::string_view repeatRule = {}) const {
        to_.report({file_, line, column, kind, std::move(what), std::move(fix), refusesLoad, repeatRule});
    }

private:
    LoadDiagnostics& to_;
    const std::string& file_;
};

/// The problems of every line of a pool file; `rows` are its item lines (line 4 on), parsed, and
/// `hasItems` says whether any is kept.
void diagnosePool(const std::vector<std::string>& lines, const std::vector<std::vector<CsvField>>& rows,
                  std::size_t widest, bool hasItems, const RunSettings& settings, const Reporter& report,
                  PoolReading& reading);

/// The problems of one enemy set's line, and the identifiers its count covers.
EnemyRow diagnoseEnemyRow(const std::vector<CsvField>& fields, const std::string& line, std::int64_t lineNo,
                          std::int32_t named, const std::function<std::int32_t(const std::string&)>& positionOf,
                          const Reporter& report);

/// The problems of one response line; rules that fire line after line are reported as repeats.
void diagnoseResponseLine(std::string_view line, const ResponseRecord& record, const ResponseLineCheck& check);

}  // namespace quillon::input_rules
