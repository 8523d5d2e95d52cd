#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/run_settings.h"
#include "quillon/observed_answers/observed_answers.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// How real examinees are classified: the run settings give the groups, the priors, the SPRT's
/// error rates, the costs and the stop probabilities, exactly as a simulated test uses them.
struct ScoreOptions {
    RunSettings settings;
    // Take the answers one at a time and tell when each stopping rule first decided.
    bool sequential = false;
    // Per examinee, the 0-based items in the order they were given; empty: pool order.
    std::vector<std::vector<std::int32_t>> itemOrders;
};

/// One examinee's classification after all answered items.
struct ExamineeScore {
    std::string id;
    std::string origin;  // "FILE line N"
    std::int32_t answered = 0;
    std::int32_t right = 0;
    std::vector<double> posterior;  // [group - 1]
    std::int32_t mapGroup = 0;
    double mapProbability = 0;
    std::int32_t bayesDecision = 0;  // two groups only; 0 otherwise
    std::int32_t sprtDecision = 0;   // 0: undecided
    // With `sequential`: the answers after which each rule first decided, 0 when it never did.
    std::vector<std::int32_t> stopLengths;  // one per stop probability
    std::int32_t sprtLength = 0;
};

/// Classifies every examinee of `data` with the pool; the k-th answer belongs to the k-th pool
/// item, as in a run. A Usage or Input failure when data, pool and options do not fit together.
Outcome<std::vector<ExamineeScore>> scoreExaminees(const ItemPool& pool, const ObservedAnswers& data,
                                                   const ScoreOptions& options);

/// The score table: one CSV row per examinee.
std::string scoreTableText(const std::vector<ExamineeScore>& scores, const ScoreOptions& options);

/// Reads the order in which each examinee of `data` was given the items: one line per examinee, in
/// the data's order, holding the examinee's identifier and then the identifiers (`poolItemIds`) of
/// the items administered, in the order given (CSV; empty fields name nothing). The result is
/// `ScoreOptions::itemOrders`. An unknown or repeated item, one not administered or one administered
/// but left out, and examinees that do not match the data are refused with the source and line.
Outcome<std::vector<std::vector<std::int32_t>>> readItemOrders(const AnswerSource& source, const ObservedAnswers& data,
                                                               const std::vector<std::string>& poolItemIds);

/// `readItemOrders` over a file, named by its path; an Input failure when it cannot be read.
Outcome<std::vector<std::vector<std::int32_t>>> readItemOrderFile(const std::string& path, const ObservedAnswers& data,
                                                                  const std::vector<std::string>& poolItemIds);

}  // namespace quillon
