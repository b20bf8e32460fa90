// The process-wide serializer state: what the encoder needs from the host module quib.serialize
// and from the msgpack package, looked up once. It is made by the first `Serializer::shared()`
// and then lives until the process ends (it is never destroyed, so no Python object is released
// after the interpreter is gone). A thread that finds another thread making it waits with the
// interpreter lock released.
#pragma once

#include "py/error.hpp"
#include "py/interned.hpp"

namespace quib::values {

struct SerializerState {
    py::Ref globals;          // quib.serialize.__dict__
    py::Ref ext_type;         // msgpack.ExtType
    py::Ref timestamp;        // msgpack.Timestamp
    py::Ref packb;            // msgpack.packb
    py::Ref strict_types;     // the keyword names ("strict_types",)
    py::Ref signed_keyword;   // the keyword names ("signed",)
    int nest_limit = 511;     // 1024 with msgpack 1.2 and newer, as msgpack's own packer
    PyObject* object_class = nullptr;          // object.__dict__["__class__"] (kept alive by object)
    getattrofunc object_getattribute = nullptr;  // object's attribute-get slot

    // A host global by name: a plain dict lookup; NameError "name 'x' is not defined" if absent.
    py::Result<py::Ref> global(py::InternedName& name) const;
    // Stores a host global (the host profiler flag).
    py::Status set_global(py::InternedName& name, PyObject* value) const;
};

// A handle on the shared state; cheap to copy.
class Serializer {
public:
    // The state, made on first use (imports quib.serialize and msgpack).
    static py::Result<Serializer> shared();
    const SerializerState& state() const noexcept { return *state_; }

private:
    explicit Serializer(const SerializerState* state) noexcept : state_(state) {}
    const SerializerState* state_;
};

// `value`'s type's attribute found along its MRO, as the interpreter's own lookup finds it
// (borrowed; nullptr when absent). Runs no Python code.
PyObject* lookup_on_type(PyTypeObject* type, PyObject* name);

}  // namespace quib::values
