#include "quillon/libquillon/library_version.h"

#include "quillon/engine/program_version.h"

namespace quillon {

std::string_view libraryVersion() noexcept { return programVersion; }

}  // namespace quillon
