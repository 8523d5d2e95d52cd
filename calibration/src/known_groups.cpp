#include "latent_classes.h"

namespace quillon {

// PLACEHOLDER: replaced by the known-group estimator.
Outcome<Calibration> calibratePool(const ObservedAnswers& data, const CalibrationOptions& options) {
    if (options.latentMax > 0) return calibrateLatentClasses(data, options);
    return Failure{FailureKind::Usage, "Known groups are not calibrated yet."};
}

}  // namespace quillon
