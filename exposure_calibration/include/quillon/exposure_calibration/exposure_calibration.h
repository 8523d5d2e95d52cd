#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/run_settings.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

struct ExposureCalibrationStep;

/// How Sympson–Hetter parameters are sought: the target rate comes from the settings'
/// `maxExposure`; the simulations use the settings' pool, data and everything else.
struct ExposureCalibrationOptions {
    std::int32_t maxIterations = 50;
    // Rates above R by no more than this still count as at the bound (Monte-Carlo noise of the
    // last simulation); 0 asks for every rate at or below R.
    double tolerance = 0.0;
    // When set, `tolerance` is replaced by `monteCarloTolerance` for the tests one simulation takes.
    bool toleranceFromTests = false;
    std::uint32_t seed = RandomGenerator::defaultSeed;
    int threadCount = 1;
    // Told of every simulation as soon as it is done (a command prints a line per iteration).
    std::function<void(const ExposureCalibrationStep&)> stepDone;
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
    double tolerance = 0.0;         // the tolerance the search used
    std::int64_t tests = 0;         // tests in each simulation
};

/// Three binomial standard deviations of an exposure rate at R over `tests` tests: how far above R
/// an item held at R may be seen by chance in one simulation.
double monteCarloTolerance(double maxExposure, std::int64_t tests);

/// Finds Sympson–Hetter parameters by the usual iteration: every K starts at 1 (a column the pool
/// already has is not used); simulate with the current K, and stop when no item's exposure rate
/// exceeds R (plus the tolerance), returning the K of that simulation; otherwise set each K to
/// R / (its selection rate) where that rate exceeds R, else to 1, and simulate again. When the
/// iterations run out the result is not converged and holds the K of the last simulation.
/// Progress and cancel go through `host`.
Outcome<ExposureCalibration> calibrateExposure(const RunSettings& settings, const ExposureCalibrationOptions& options,
                                               RunHost& host);

/// The pool file's text with its Exposure_K column set to `parameters` (one per pool position as
/// `settings` load it). A pool without the column gets it after its widest line, its header cell
/// "Exposure_K"; lines 2 and 3 are left alone. Every other byte of the file is kept. Rows the
/// settings drop get K = 1 in a new column and keep their value in an existing one.
Outcome<std::string> poolWithExposureParameters(const std::string& poolText, const RunSettings& settings,
                                                const std::vector<double>& parameters);

}  // namespace quillon
