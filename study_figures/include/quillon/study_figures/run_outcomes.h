#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillon/engine/run_statistics.h"
#include "quillon/engine/share.h"

namespace quillon {

/// What an outcome of a run measures, beside the curves by test length.
enum class OutcomeKind {
    Atl,                // a stopping rule's average test length
    Pcc,                // ...its share of tests classified correctly
    FalsePos,           // ...its share of false positives
    FalseNeg,           // ...its share of false negatives
    Undecided,          // ...its share of tests it never stopped
    FirstLength90,      // the first length at which MAP accuracy reaches .90 (missing: never)
    FirstLength95,      // ... .95
    FirstLength99,      // ... .99
    MaxExposureRate,    // the highest share of tests that gave one item
    NeverUsedShare,     // the share of the pool no test gave
    MeanOverlap,        // the expected share of items two tests share
    ExposureChiSquare,  // the exposure rates' chi-square against even use
};

/// The outcome's name in the study tables: "atl", "pcc", "false_pos", "false_neg", "undecided",
/// "first_length_90", "first_length_95", "first_length_99", "max_exposure_rate",
/// "never_used_share", "mean_overlap", "exposure_chi_square".
const char* outcomeName(OutcomeKind kind);

/// The outcome kind of a table's name, or none.
std::optional<OutcomeKind> outcomeKindNamed(const std::string& name);

/// Which outcome of a run: its kind and whose it is: a stopping rule's ("SPRT", or "Posterior" at
/// a threshold), MAP's (first lengths) or the pool's (exposure, rule empty).
struct OutcomeKey {
    OutcomeKind kind = OutcomeKind::Atl;
    std::string rule;
    std::optional<double> threshold;

    friend bool operator==(const OutcomeKey&, const OutcomeKey&) = default;
};

/// One outcome of one run. A share keeps its counts, so replications pool exactly; every other
/// outcome is a plain value. Either is missing when it has none (no tests, never reached).
struct RunOutcome {
    OutcomeKey key;
    bool isShare = false;
    Share share;                  // isShare only
    std::optional<double> value;  // the share's value, or the plain value
};

/// Every outcome of one run, from its statistics, in the tables' order: for each stopping rule
/// (the SPRT, then each stop probability) atl, pcc, false_pos, false_neg and undecided; MAP's
/// first lengths; then the exposure figures.
std::vector<RunOutcome> runOutcomes(const RunStatistics& statistics);

/// The exposure figures of a pool's use counts over `tests` tests that gave `selections` items
/// in all; the rates use the mean test length, so tests cut short count as they were given.
struct ExposureFigures {
    std::int64_t items = 0, itemsUsed = 0, tests = 0;
    std::optional<double> maxRate, neverUsedShare, meanOverlap, chiSquare;  // missing without tests or items
};
ExposureFigures exposureFigures(const std::vector<std::int64_t>& useCounts, std::int64_t tests,
                                std::int64_t selections);

}  // namespace quillon
