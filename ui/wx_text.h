#pragma once

#include <wx/string.h>

#include <string>
#include <string_view>

#include "quillon/engine/run_host.h"

namespace quillon::ui {

/// The engine's UTF-8 text as a wx string.
inline wxString toWx(std::string_view text) { return wxString::FromUTF8(text.data(), text.size()); }

/// A wx string as the engine's UTF-8 text.
inline std::string fromWx(const wxString& text) { return text.utf8_string(); }

/// A system text for display: GTK draws a CR as a glyph, so every line break becomes a LF.
inline wxString toDisplay(std::string_view text) { return toWx(withLineFeeds(text)); }

}  // namespace quillon::ui
