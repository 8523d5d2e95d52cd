#include "quillon/scoring/scoring.h"

namespace quillon {

// PLACEHOLDER: replaced by the scoring of real examinees.
Outcome<std::vector<ExamineeScore>> scoreExaminees(const ItemPool&, const ObservedAnswers&, const ScoreOptions&) {
    return Failure{FailureKind::Usage, "Scoring is not built yet."};
}

std::string scoreTableText(const std::vector<ExamineeScore>&, const ScoreOptions&) { return {}; }

}  // namespace quillon
