#pragma once

// QUILLON_ASSERT(condition) checks one of the engine's invariants where QUILLON_CHECK_INVARIANTS
// is defined (the test and sanitizer builds): a false condition prints its file, line and text and
// aborts. Elsewhere the condition is compiled but never evaluated. A check only reads: it never
// changes what a run computes or writes.

#ifdef QUILLON_CHECK_INVARIANTS

#include <cstdio>
#include <cstdlib>

namespace quillon {

[[noreturn]] inline void invariantFailed(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, condition);
    std::fflush(stderr);
    std::abort();
}

}  // namespace quillon

#define QUILLON_ASSERT(condition) \
    ((condition) ? static_cast<void>(0) : ::quillon::invariantFailed(__FILE__, __LINE__, #condition))

#else

#define QUILLON_ASSERT(condition) static_cast<void>(sizeof(static_cast<bool>(condition)))

#endif
