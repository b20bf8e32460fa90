// Errors as values. A Python exception that the engine carries is a `PyError`: fetched out of the
// thread state and owned, so nothing is left "set" while C++ code runs on. It is put back only right
// before control returns to the interpreter. `Result<T>` is a value or a `PyError`; `Status` is the
// same without a value. Broken invariants travel as the C++ exception `InternalFailure`, which every
// entry point the interpreter calls catches (see entry.hpp).
#pragma once

#include "py/ref.hpp"

#include <cstdarg>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quib::py {

class PyError {
public:
    // Takes the exception that is currently set. If none is set (an API broke its contract),
    // a SystemError takes its place so that an error is never lost.
    static PyError fetch();
    // Takes the current exception if one is set.
    static std::optional<PyError> fetch_if_set();
    // A new exception of `type` with `message` as its only argument.
    static PyError make(PyObject* type, const char* message);
    static PyError format(PyObject* type, const char* format, ...);
    // Wraps an exception instance (a strong reference is taken).
    static PyError from_instance(Ref exception) { return PyError(std::move(exception)); }

    PyError(PyError&&) noexcept = default;
    PyError& operator=(PyError&&) noexcept = default;
    PyError(const PyError&) = default;
    PyError& operator=(const PyError&) = default;

    // Makes this the current exception of the thread; the error is consumed.
    void restore() &&;
    // Same, and returns nullptr: the usual way out of a C-API entry point.
    PyObject* raise() && {
        std::move(*this).restore();
        return nullptr;
    }

    PyObject* value() const noexcept { return exception_.get(); }
    PyObject* type() const noexcept { return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())); }
    bool matches(PyObject* exception_type) const noexcept {
        return PyErr_GivenExceptionMatches(exception_.get(), exception_type) != 0;
    }
    // str(exception), or a placeholder when that fails; never raises.
    std::string text() const;

private:
    explicit PyError(Ref exception) noexcept : exception_(std::move(exception)) {}
    Ref exception_;
};

// An internal failure: a broken invariant inside the engine. Its text names the violated
// expectation ("trace capture mutex poisoned"). It never crosses into the interpreter.
class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string text) : text_(std::move(text)) {}
    explicit InternalFailure(const char* text) : text_(text) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    Result(PyError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    T& operator*() & { return std::get<0>(state_); }

    PyError& error() & { return std::get<1>(state_); }
    PyError&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, PyError> state_;
};

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(PyError error) : error_(std::move(error)) {}  // NOLINT
    static Status success() { return Status(); }

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    PyError& error() & { return *error_; }
    PyError&& error() && { return std::move(*error_); }

private:
    std::optional<PyError> error_;
};

// Results of C-API calls that return a new reference or null with an exception set.
inline Result<Ref> checked(PyObject* new_reference) {
    if (new_reference == nullptr) return PyError::fetch();
    return Ref::steal(new_reference);
}
// C-API calls that return -1 with an exception set.
inline Status checked_status(int code) {
    if (code < 0) return PyError::fetch();
    return Status();
}

}  // namespace quib::py
