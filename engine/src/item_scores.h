#pragma once

#include <vector>

#include "quillon/engine/item_selection.h"
#include "quillon/engine/posterior.h"
#include "quillon/engine/run_settings.h"

// The selection criteria as the rules state them, one candidate at a time, and the sort whose tie
// order they rank by: what the selector's shortcuts must reproduce.

namespace quillon {

/// Expected posterior entropy in bits after the item; normalises the posterior first.
double shannonScore(const double* p, GroupPosterior& posterior);

/// 1 / |ln(p(b) / p(b + 1))| at the boundary b next to the most probable group.
double discriminationScore(const double* p, const GroupPosterior& posterior);

/// Expected two-group Bayes cost after the item; normalises the posterior first.
double expectedCostScore(const double* p, GroupPosterior& posterior, const RunSettings& settings);

/// Orders candidates by ascending score with the in-place quicksort whose tie order the tables
/// depend on (two equal scores A, B come out B, A).
void sortCandidates(std::vector<Candidate>& list);

}  // namespace quillon
