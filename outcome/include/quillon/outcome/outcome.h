#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace quillon {

/// Who has to act on a failure; each edge (exit codes, R conditions, Python exception classes)
/// maps the kind in one place.
enum class FailureKind {
    Usage,      // a setting, argument or option the caller gave is wrong
    Input,      // an input file is missing, unreadable or refused
    Output,     // an output could not be written, or would overwrite an input or another output
    Cancelled,  // the user stopped the work
};

/// A failure a user can cause: its kind and the message the user sees, as it stands.
struct Failure {
    FailureKind kind = FailureKind::Input;
    std::string message;
};

/// The exception form of a `Failure`, for code deep inside a library; public functions hand it
/// back as an `Outcome` instead.
class FailureError : public std::runtime_error {
public:
    explicit FailureError(Failure failure) : std::runtime_error(failure.message), failure_(std::move(failure)) {}
    FailureError(FailureKind kind, std::string message) : FailureError(Failure{kind, std::move(message)}) {}

    const Failure& failure() const { return failure_; }
    FailureKind kind() const { return failure_.kind; }

private:
    Failure failure_;
};

/// A value or the failure that prevented it; it must be looked at.
template <class T>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Outcome(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    /// The value; a failed outcome throws its failure instead, so that it travels to the edge.
    T& value() & {
        throwIfFailed();
        return std::get<0>(state_);
    }
    const T& value() const& {
        throwIfFailed();
        return std::get<0>(state_);
    }
    T&& value() && {
        throwIfFailed();
        return std::get<0>(std::move(state_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    /// The failure of an outcome that is not ok.
    const Failure& failure() const { return std::get<1>(state_); }

private:
    void throwIfFailed() const {
        if (!ok()) throw FailureError(std::get<1>(state_));
    }

    std::variant<T, Failure> state_;
};

/// Success or the failure that prevented it, for work that gives back no value.
template <>
class [[nodiscard]] Outcome<void> {
public:
    Outcome() = default;
    Outcome(Failure failure) : failure_(std::move(failure)) {}

    bool ok() const { return !failure_.has_value(); }
    explicit operator bool() const { return ok(); }

    /// Throws the failure of an outcome that is not ok, so that it travels to the edge.
    void value() const {
        if (failure_) throw FailureError(*failure_);
    }

    /// The failure of an outcome that is not ok.
    const Failure& failure() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};

/// `Outcome<void>`: work that succeeds or fails with a message.
using Status = Outcome<void>;

/// Runs `work`, handing back a failure it throws as an outcome: the bridge at a library's edge.
template <class Work>
auto catchFailure(Work&& work) -> Outcome<decltype(work())> {
    try {
        if constexpr (std::is_void_v<decltype(work())>) {
            work();
            return {};
        } else {
            return work();
        }
    } catch (const FailureError& error) {
        return error.failure();
    }
}

}  // namespace quillon
