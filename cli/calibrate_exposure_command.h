#pragma once

#include <cstdint>
#include <string>

#include "run_options.h"

namespace CLI {
class App;
}

namespace quillon::cli {

/// What `quillon-sim calibrate-exposure` takes besides the run options it shares with a run.
struct CalibrateExposureOptions {
    std::string out;
    std::int32_t iterations = 50;
    double tolerance = 0.0;  // read only when --tolerance is given; otherwise from the tests simulated
    bool force = false;
};

/// Adds the `calibrate-exposure` subcommand to `app`; the run's options (pool, data, settings,
/// --max-exposure, --seed, --threads, --quiet) are given as for a run.
CLI::App* addCalibrateExposureCommand(CLI::App& app, CalibrateExposureOptions& options);

/// Finds Sympson–Hetter parameters for the run's settings and writes the pool with them as --out,
/// printing a line per iteration and a summary; exits 0 when converged, `exitNotConverged` when
/// the iterations ran out (the pool is written all the same), otherwise by the failure's kind.
int runCalibrateExposureCommand(const CommandLine& line, const CLI::App& app, const CalibrateExposureOptions& options);

}  // namespace quillon::cli
