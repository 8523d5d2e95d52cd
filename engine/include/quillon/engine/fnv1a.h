#pragma once

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace quillon {

/// 64-bit FNV-1a: simple and documented; it tells runs and studies apart, it does not guard
/// against forgery.
class Fnv1a {
public:
    void add(std::string_view bytes) {
        for (unsigned char c : bytes) {
            hash_ ^= c;
            hash_ *= 0x100000001b3ull;
        }
    }
    /// The digest so far as 16 lowercase hex digits.
    std::string hex() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016" PRIx64, hash_);
        return text;
    }

private:
    std::uint64_t hash_ = 0xcbf29ce484222325ull;
};

}  // namespace quillon
