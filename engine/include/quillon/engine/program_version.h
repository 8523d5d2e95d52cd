#pragma once

#include <string_view>

namespace quillon {

/// The program's version, its one home: CMake's project version, the runner's --version, the
/// reports and the packages take it from here (r/DESCRIPTION and CITATION.cff are held equal by a
/// test); a study plan records it, so that a task run by another version is refused.
inline constexpr std::string_view programVersion = "1.10";

}  // namespace quillon
