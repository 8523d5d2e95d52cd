#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// Shared by the fuzz targets: a property that fails aborts, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

namespace quillon::fuzz {

/// The fuzzer's bytes as text.
inline std::string_view asText(const unsigned char* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace quillon::fuzz
