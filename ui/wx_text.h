#pragma once

#include <string>
#include <string_view>

#include <wx/string.h>

namespace quillon::ui {

/// The engine's UTF-8 text as a wx string.
inline wxString toWx(std::string_view text) { return wxString::FromUTF8(text.data(), text.size()); }

/// A wx string as the engine's UTF-8 text.
inline std::string fromWx(const wxString& text) { return text.utf8_string(); }

/// The system's texts break lines with CR LF or a lone CR; GTK draws a CR as a glyph,
/// so shown text uses LF for every line break.
inline wxString toDisplay(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            shown += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            shown += text[i];
        }
    }
    return toWx(shown);
}

}  // namespace quillon::ui
