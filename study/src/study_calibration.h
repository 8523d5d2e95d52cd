// The calibrated pools of a study's data sets, kept beside the data they were drawn from.
#pragma once

#include <cstdint>
#include <string>

#include "quillon/calibration/calibration.h"
#include "quillon/engine/sample_data.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

/// One calibrated pool of one data set: the data's options and folder, the stamp the data were
/// written under, the sample size and how it is calibrated.
struct CalibratedPoolJob {
    const SampleOptions& options;
    const std::string& dataFolder;
    const std::string& dataStamp;
    std::int64_t size = 0;
    const CalibrationOptions& calibration;
};

/// True when the pool's files are all there and were made from these very data and options.
bool calibratedPoolIsThere(const CalibratedPoolJob& job);

/// Draws the calibration sample, estimates its pool and writes the pool and its calibration
/// table, then the stamp that says both are whole; an Input failure when the sample gives no
/// pool, an Output failure when a file cannot be written.
Status writeCalibratedPool(const CalibratedPoolJob& job, const SampleFiles& files);

}  // namespace quillon
