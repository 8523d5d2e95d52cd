#include "latent_classes.h"

namespace quillon {

// PLACEHOLDER: replaced by the EM fit.
Outcome<Calibration> calibrateLatentClasses(const ObservedAnswers&, const CalibrationOptions&) {
    return Failure{FailureKind::Usage, "Latent classes are not fitted yet."};
}

}  // namespace quillon
