// The Sympson–Hetter pools a study calibrates for conditions whose pool carries no parameters.
#pragma once

#include <optional>
#include <string>

#include "quillon/engine/run_settings.h"
#include "quillon/outcome/outcome.h"
#include "quillon/study/study.h"

namespace quillon {

/// The pool with Sympson–Hetter parameters a run of `settings` reads instead of its own, when it
/// asks for that control and its pool has no Exposure_K column; none otherwise. One pool per
/// distinct pool and settings, whatever the replication's responses: the folder is named by them.
std::optional<std::string> exposurePoolFor(const Study& study, const std::string& workFolder,
                                           const RunSettings& settings);

/// Calibrates every such pool that is not there yet, each from the responses of the first run
/// that reads it; an Input failure names the condition and why the calibration failed, an Output
/// failure the file that could not be written. A pool is only taken as there once its stamp,
/// written last, says it was made from these very inputs and settings.
Status prepareExposurePools(const Study& study, const std::string& workFolder, StudyWatcher* watcher);

}  // namespace quillon
