// Reference handles. Engine code never calls Py_INCREF/Py_DECREF by hand: a strong reference is a
// `Ref`, and a raw `PyObject*` is always borrowed and short-lived. The named constructors say at the
// call site whether a reference is stolen (`steal`: the API returned a new reference) or taken
// (`take`: we add one to a borrowed pointer).
#pragma once

#include "py/compat.hpp"

#include <utility>

namespace quib::py {

class Ref {
public:
    constexpr Ref() noexcept = default;
    // Takes over a new reference (may be null).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed pointer (may be null).
    static Ref take(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    static Ref none() noexcept { return take(Py_None); }
    static Ref boolean(bool value) noexcept { return take(value ? Py_True : Py_False); }

    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(const Ref& other) noexcept {
        Ref copy(other);
        swap(copy);
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept {
        Ref moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (for returning to the interpreter or stealing APIs).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

    template <class T>
    T* as() const noexcept {
        return reinterpret_cast<T*>(object_);
    }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A borrowed pointer that documents, in a signature, that no reference is owned.
class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* object) noexcept : object_(object) {}  // NOLINT: implicit on purpose
    Borrowed(const Ref& ref) noexcept : object_(ref.get()) {}            // NOLINT
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    Ref own() const noexcept { return Ref::take(object_); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace quib::py
