// Errors of trace storage. Storage operations fail with an `IoError`: a kind, a message, and
// sometimes the Python exception the error stands for (an encoder failure while appending a
// frame). At the Python boundary an error becomes one exception, chosen by its kind, with the
// message as its only argument; an error that carries a Python exception becomes that exception.
//
// An `IoError` that carries a Python exception holds a Python reference: it is created, copied and
// dropped only on threads that hold the interpreter lock. Errors made on the writer thread never
// carry one.
#pragma once

#include "py/error.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quib::storage {

enum class IoErrorKind : std::uint8_t {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    TimedOut,
    Interrupted,
    OutOfMemory,
    InvalidInput,
    InvalidData,
    UnexpectedEof,
    Other,
};

struct IoError {
    IoErrorKind kind = IoErrorKind::Other;
    std::string message;
    std::shared_ptr<const py::PyError> python;

    static IoError make(IoErrorKind kind, std::string message) { return IoError{kind, std::move(message), {}}; }
    // "{context}: {strerror}" with the kind that errno stands for.
    static IoError from_errno(int error_number, std::string_view context);
    static IoError from_python(py::PyError error);
};

IoErrorKind kind_of_errno(int error_number) noexcept;

// The Python exception for an error (needs the interpreter lock).
py::PyError to_python(const IoError& error);

// Messages shared by several storage operations.
inline constexpr const char* WIDTH_EXCEEDED = "v3 field exceeds its declared width";

template <class T>
class [[nodiscard]] IoResult {
public:
    IoResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    IoResult(IoError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    T& operator*() & { return std::get<0>(state_); }
    IoError& error() & { return std::get<1>(state_); }
    IoError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, IoError> state_;
};

class [[nodiscard]] IoStatus {
public:
    IoStatus() = default;
    IoStatus(IoError error) : error_(std::move(error)) {}  // NOLINT
    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    IoError& error() & { return *error_; }
    IoError&& error() && { return std::move(*error_); }

private:
    std::optional<IoError> error_;
};

}  // namespace quib::storage
