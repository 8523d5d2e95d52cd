#include "quillon/calibration/calibration.h"

namespace quillon {

// PLACEHOLDER: replaced by the table writers.
std::string calibratedPoolText(const CalibratedPool&) { return {}; }
std::string calibrationTableText(const CalibratedPool&) { return {}; }
std::string latentFitTableText(const Calibration&) { return {}; }

}  // namespace quillon
