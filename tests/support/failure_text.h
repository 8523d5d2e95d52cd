#pragma once

#include <string>
#include <utility>

#include "quillon/outcome/outcome.h"

namespace quillon {

/// The message of a failed outcome, empty for success: what the tests compare with.
template <class T>
std::string failureText(const Outcome<T>& outcome) {
    return outcome ? std::string() : outcome.failure().message;
}

/// Moves an outcome's value into `into` when it has one; the failure's message otherwise, empty
/// for success.
template <class T>
std::string takeInto(Outcome<T> outcome, T& into) {
    if (!outcome) return outcome.failure().message;
    into = std::move(*outcome);
    return {};
}

}  // namespace quillon
