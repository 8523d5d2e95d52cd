#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/run_settings.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// How Sympson–Hetter parameters are sought: the target rate comes from the settings'
/// `maxExposure`; the simulations use the settings' pool, data and everything else.
struct ExposureCalibrationOptions {
    std::int32_t maxIterations = 50;
    // Rates above R by no more than this still count as at the bound (Monte-Carlo noise of the
    // last simulation); 0 asks for every rate at or below R.
    double tolerance = 0.0;
    std::uint32_t seed = RandomGenerator::defaultSeed;
    int threadCount = 1;
};

/// One simulation of the iteration: the highest selection and exposure rates it showed, with the
/// parameters it ran under.
struct ExposureCalibrationStep {
    std::int32_t iteration = 0;
    double maxSelectionRate = 0.0;
    double maxExposureRate = 0.0;
    std::int32_t itemsLimited = 0;  // items whose K is below 1 after this step
};

/// The parameters found, per pool position, and how the search went.
struct ExposureCalibration {
    std::vector<double> parameters;  // [position - 1]: K in (0, 1]
    std::vector<ExposureCalibrationStep> steps;
    bool converged = false;  // the last simulation's maximum exposure rate was at or below R
    double finalMaxExposureRate = 0.0;
    std::int32_t itemsAtBound = 0;  // items whose exposure rate in the last simulation reached R
};

/// Finds Sympson–Hetter parameters by the usual iteration: simulate with the current K, then set
/// each K to R / (its selection rate) where that rate exceeds R, else to 1, until no item's
/// exposure rate exceeds R (plus the tolerance) or the iterations run out. Progress and cancel go
/// through `host`.
Outcome<ExposureCalibration> calibrateExposure(const RunSettings& settings, const ExposureCalibrationOptions& options,
                                               RunHost& host);

/// The pool file's text with its Exposure_K column set to `parameters` (added as the last column
/// when the pool has none); every other byte of the file is kept. Dropped items keep K = 1.
Outcome<std::string> poolWithExposureParameters(const std::string& poolText, const RunSettings& settings,
                                                const std::vector<double>& parameters);

}  // namespace quillon
