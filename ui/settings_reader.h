#pragma once

#include <string>

#include "quillon/engine/run_settings.h"

namespace quillon::ui {

/// Read access to the main window's controls by identifier, which is all the settings need.
class ControlAccess {
public:
    virtual ~ControlAccess() = default;

    /// The control's text as typed (UTF-8); empty for an unknown identifier.
    virtual std::string controlText(int controlId) const = 0;

    /// Whether a check box is checked or an option selected; false for anything else.
    virtual bool isChecked(int controlId) const = 0;
};

/// Fills `settings` from the controls at the start of a run: the options in their fixed order,
/// the four costs only when "N Categories" reads 2, and not the six file names.
void readRunSettings(const ControlAccess& controls, RunSettings& settings);

/// Copies the six path boxes into `settings`, exactly as typed.
void readFileNames(const ControlAccess& controls, RunSettings& settings);

}  // namespace quillon::ui
