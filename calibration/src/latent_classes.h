#pragma once

#include "quillon/calibration/calibration.h"

namespace quillon {

/// Fits latent class models for every class count the options ask for and estimates the pool of
/// the count BIC chooses.
Outcome<Calibration> calibrateLatentClasses(const ObservedAnswers& data, const CalibrationOptions& options);

}  // namespace quillon
