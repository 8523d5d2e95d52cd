#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillon::charts {

/// One UTF-8 sequence: its length in bytes (0 when the bytes are not valid UTF-8) and its code point.
struct Utf8Char {
    std::size_t length = 0;
    std::uint32_t code = 0;
};

/// Decodes the sequence at `at`; overlong forms, surrogates, noncharacters U+FFFE and U+FFFF and
/// values past U+10FFFF are not valid, so markup and widths agree on what is drawn as U+FFFD.
inline Utf8Char decodeUtf8(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xE  ? 3
                               : (lead >> 3) == 0x1E ? 4
                                                     : 0;
    if (length == 0 || at + length > text.size()) return {};
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return {};
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return {};
    if (code == 0xFFFE || code == 0xFFFF) return {};
    return {length, code};
}

}  // namespace quillon::charts
