// The script: everything is the load's own diagnostics; the slots are kept for the collections'
// check.
#include "checking.h"

namespace quillon::checking {

void checkScript(CheckState& state) {
    const std::string& file = state.settings.scriptFile;
    const std::optional<std::vector<std::string>> lines = state.readLines(
        CheckedInput::Script, file, "Script", "check the file name and its permissions, or turn off Follow Script");
    if (!lines) return;
    InputDiagnostics diagnostics(state.findings, CheckedInput::Script);
    try {
        state.slots = parseScript(*lines, state.settings, file, &diagnostics).slots;
    } catch (const InputError& refusal) {
        state.refuse(refusal.what());
    }
}

}  // namespace quillon::checking
