#pragma once

// Random small cases built as file texts, and their comparison between the engine and the
// reference replay, shared by the CTest suite and the longer `differential` program.

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/engine/run_settings.h"

namespace quillon::reference {

/// Which cases a seed may produce: the group counts and selection methods to draw from.
struct CaseShape {
    std::int32_t minGroups = 2;
    std::int32_t maxGroups = 6;
    std::vector<std::string> methods{"Shannon", "MaxDiscr", "MinCost"};
    // Beyond the everyday shapes: pools past 200 candidates, tests up to 20 items, up to 5 tests
    // per person and answer digits 2 to 9.
    bool wide = false;
    // Pools of 1,000 to 10,000 items, with rows shared by many items and rows a hair's breadth
    // from another (within 10^-12), where a search over groups of items must keep tie orders.
    bool large = false;
};

/// One case: the four input files as text, the settings (without file names) and the
/// generator state the replay starts from.
struct DifferentialCase {
    std::uint64_t seed = 0;
    RunSettings settings;
    std::uint32_t generatorState = 0;
    std::string pool, script, enemies, responses;

    /// The settings as "name = value" lines, enough to rebuild the case by hand.
    std::string settingsText() const;
};

/// The case a seed stands for; the same seed and shape always give the same bytes.
DifferentialCase makeCase(std::uint64_t seed, const CaseShape& shape = {});

/// The seed of case `index` in a series started from `seed`.
std::uint64_t caseSeed(std::uint64_t seed, std::uint64_t index);

/// What a comparison saw, so that a series can show what it covered.
struct CaseTally {
    std::int64_t refused = 0;      // cases the loader refused: nothing to compare
    std::int64_t examinees = 0;    // examinees compared item by item
    std::int64_t positions = 0;    // administered items compared
    std::int64_t failures = 0;     // examinees that ran out of items (on both sides)
    std::int64_t runs = 0;         // whole runs compared table by table
    std::int64_t stoppedRuns = 0;  // of those, runs a collection error stopped early
    std::int64_t differing = 0;    // cases that differed (a series that goes on past them)
};

/// Replays every examinee of the case on both sides, item by item; empty when they agree,
/// otherwise a description of the first difference.
std::string compareExaminees(const DifferentialCase& testCase, CaseTally& tally);

/// Runs the whole case through the engine's run (files in `folder`, `threads` threads) and the
/// reference run; empty when messages and table bytes agree, otherwise what differs.
std::string compareRun(const DifferentialCase& testCase, const std::string& folder, int threads, CaseTally& tally);

/// Writes the four input files and the settings into `folder` (created when missing).
void writeCase(const DifferentialCase& testCase, const std::string& folder);

}  // namespace quillon::reference
