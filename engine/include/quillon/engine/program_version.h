#pragma once

#include <string_view>

namespace quillon {

/// The program's version, as the project's CMake version states it (a test holds them equal);
/// a study plan records it, so that a task run by another version is refused.
inline constexpr std::string_view programVersion = "1.10";

}  // namespace quillon
