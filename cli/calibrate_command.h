#pragma once

#include <string>
#include <vector>

#include "quillon/calibration/calibration.h"
#include "quillon/outcome/outcome.h"

namespace CLI {
class App;
}

namespace quillon::cli {

/// What `quillon-sim calibrate` was given.
struct CalibrateOptions {
    std::vector<std::string> data;
    std::string items;
    std::string out;
    std::string table;   // empty: beside the pool, "_calibration.csv"
    std::string fit;     // empty: beside the pool, "_fit.csv" (only with --latent)
    std::string prior;   // "A,B"; empty: the options' default
    std::string latent;  // "G" or "G..H"; empty: known groups
    CalibrationOptions calibration;
    bool force = false;
    bool quiet = false;
};

/// Adds the `calibrate` subcommand to `app`, filling `options` when it is parsed.
CLI::App* addCalibrateCommand(CLI::App& app, CalibrateOptions& options);

/// Reads the pilot, estimates the pool and writes it with its calibration table (and, with
/// --latent, its fit table), all of them or none; says what it wrote on standard output and
/// each warning on standard error. The failure's kind gives the exit code.
Status runCalibrateCommand(CalibrateOptions options);

}  // namespace quillon::cli
