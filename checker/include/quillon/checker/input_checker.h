#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "quillon/engine/run_settings.h"

namespace quillon {

/// Whether a finding stops the run (or makes its tables meaningless) or is only probably unintended.
enum class FindingKind { Error, Warning };

/// Which input a finding is about; also the order in which findings are listed.
enum class CheckedInput { Settings, Pool, Enemies, Script, Results, Responses };

/// One problem at one place: `line` and `column` are 1-based (0 for a whole setting), `what` says
/// what is wrong and `fix` how to put it right.
struct Finding {
    CheckedInput input = CheckedInput::Settings;
    std::string file;  // the file name as given, or "settings"
    std::int64_t line = 0;
    std::int64_t column = 0;
    FindingKind kind = FindingKind::Error;
    std::string what;
    std::string fix;
    bool refusesLoad = false;  // the loader refuses the file for exactly this reason
    bool fromLoader = false;   // the loader's own message, for a refusal no rule here explains
};

/// Spread of the item discrimination |ln(p(b) / p(b + 1))| at one group boundary b.
struct BoundarySpread {
    std::int32_t lowerGroup = 1;
    double min = 0.0;
    double median = 0.0;
    double max = 0.0;
};

/// Items of one collection, kept and left out by "Drop items".
struct CollectionCount {
    std::int64_t kept = 0;
    std::int64_t dropped = 0;
};

/// What the checked files hold, for the closing summary.
struct CheckSummary {
    std::map<std::int32_t, CollectionCount> collections;
    std::vector<BoundarySpread> discrimination;
    bool hasPriorRow = false;
    std::vector<double> priors;
    std::map<std::int32_t, std::int64_t> examineesPerGroup;
    std::int64_t examinees = 0;
    bool loaderAccepts = false;  // the engine's own loader took the settings and files
    std::string loaderMessage;   // its message when it did not
    bool canComplete = false;    // no error: a run with these settings is expected to finish
};

/// Everything the checker found, findings sorted by input, line and column.
struct CheckReport {
    std::vector<Finding> findings;
    CheckSummary summary;

    std::int64_t count(FindingKind kind) const;
};

/// Blank answers per item above this share draw a warning.
inline constexpr double blankShareWarning = 0.2;

/// Reads every file the run with these settings would read, with the run's own rules, and reports
/// each problem with its place; never writes or leaves a file behind.
CheckReport checkInputs(const RunSettings& settings);

/// The report as text: one `FILE:LINE:COLUMN: error|warning: what; fix` line per finding (the
/// first 50 of each kind, then a count), then the summary.
std::string checkReportText(const CheckReport& report);

/// The same report as one JSON document.
std::string checkReportJson(const CheckReport& report);

/// 0 without findings, 1 with an error, 3 with warnings only.
int checkExitCode(const CheckReport& report);

/// One finding as its text line.
std::string findingText(const Finding& finding);

}  // namespace quillon
