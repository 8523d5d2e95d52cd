#pragma once

#include <cstdint>
#include <vector>

#include "quillon/engine/item_selection.h"

namespace quillon {

/// What one position of a test produced: the item and the three rules' decisions.
struct PositionOutcome {
    std::int32_t item = 0;
    std::int32_t mapGroup = 0;
    std::int32_t sprtGroup = 0;   // 0: no decision
    std::int32_t bayesGroup = 0;  // 0: not computed (groupCount other than 2)
    double mapProb = 0.0;
    double bayesProb = 0.0;
};

/// How one position came about, kept only for a trace: the collection, the answer scored, the
/// selection's detail and the posterior after the update.
struct PositionTrace {
    std::int32_t collection = 0;
    std::int32_t answer = 0;
    SelectionDetail selection;
    std::vector<double> posterior;
};

/// One simulated test. When `failed`, the last position's collection had no eligible item and
/// `positions` holds only the positions before it.
struct TestRecord {
    std::vector<PositionOutcome> positions;
    std::vector<PositionTrace> traces;             // one per position, when the run keeps traces
    std::vector<std::int32_t> icolErrorPositions;  // positions whose drawn collection was above 8
    // Items Sympson–Hetter selected but set aside in this test, in order: with the positions, how
    // often each item was selected, which its calibration needs.
    std::vector<std::int32_t> setAside;
    bool failed = false;
    std::int32_t failedCollection = 0;
};

}  // namespace quillon
