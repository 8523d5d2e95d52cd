#pragma once

#include <string_view>

namespace quillon {

/// The version of the libquillon a program runs with, which may be a later 1.x than the headers it
/// was built against (those give programVersion): a program may refuse a library older than it needs.
std::string_view libraryVersion() noexcept;

}  // namespace quillon
