#pragma once

// A second, deliberately slow implementation of item selection and of the replay, written from
// the rules alone so that the engine can be checked against it. Nothing here is fast on purpose:
// every selection scans the whole pool, scores every candidate from scratch and sorts them all.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/simulation.h"

namespace quillon::reference {

/// One administered item as the reference replay saw it: where it was, what was scored and the
/// posterior right after the update.
struct PositionTrace {
    std::int32_t test = 0;
    std::int32_t position = 0;
    std::int32_t collection = 0;
    std::int32_t answer = 0;
    std::vector<double> posterior;
};

/// Replays every test of one examinee by the rules, drawing from `random` exactly as the run
/// does; fills `outcome` like the engine's simulator and, when given, one trace per item.
void simulateExaminee(const InputFiles& inputs, const RunSettings& settings, const ResponseRecord& record,
                      RandomGenerator& random, ExamineeOutcome& outcome, std::vector<PositionTrace>* traces);

/// A whole replay of a response file: the statistics the tables are written from, or the
/// message that ended the run without tables.
struct ReferenceRun {
    bool completed = false;             // false: a collection ran out and no table is written
    std::vector<std::string> messages;  // every message the run showed, in order
    RunStatistics statistics;
};

/// Replays every line of `responses` in file order with the run's rules: one generator for the
/// whole run, a collection error stopping the replay at the next test, a failure ending it.
ReferenceRun runReference(const InputFiles& inputs, const RunSettings& settings, std::string_view responses,
                          RandomGenerator& random);

}  // namespace quillon::reference
