#pragma once

#include "quillon/calibration/calibration.h"

namespace quillon {

/// An item's estimate for one group from its answers and right answers (expected ones under latent
/// classes), shrunk by the prior, with the posterior's standard deviation; flagged thin below
/// `minAnswers`, and without answers also as resting on none.
ItemGroupEstimate shrunkEstimate(double answers, double right, const CalibrationOptions& options);

/// Fits latent class models for every class count the options ask for and estimates the pool of
/// the count BIC chooses.
Outcome<Calibration> calibrateLatentClasses(const ObservedAnswers& data, const CalibrationOptions& options);

}  // namespace quillon
