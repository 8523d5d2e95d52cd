#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace quillon::testing {

/// 64-bit FNV-1a of the bytes as 16 lowercase hex digits, written here from its definition so
/// that the tests check the program's digests and checksums against an independent computation.
inline std::string fnv1aHex(std::string_view bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ull;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

}  // namespace quillon::testing
