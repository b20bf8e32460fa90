#include "values/serializer_state.hpp"

#include "py/gil_mutex.hpp"

#include <atomic>
#include <memory>
#include <mutex>

namespace quib::values {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

std::atomic<const SerializerState*> SERIALIZER{nullptr};
std::mutex SERIALIZER_MAKING;
// Set while this thread makes the state: the imports run Python code, which may (through a tracer)
// ask for the state again on the same thread; that must fail rather than wait for itself.
constinit thread_local bool MAKING_HERE = false;

py::InternedName EXT_TYPE{"ExtType"};
py::InternedName TIMESTAMP{"Timestamp"};
py::InternedName PACKB{"packb"};
py::InternedName VERSION{"version"};
py::InternedName CLASS{"__class__"};

Result<Ref> attribute(PyObject* object, py::InternedName& name) {
    PyObject* key = name.get();
    if (key == nullptr) return PyError::fetch();
    return py::checked(PyObject_GetAttr(object, key));
}

Result<int> nest_limit_of(PyObject* msgpack_module) {
    Result<Ref> version = attribute(msgpack_module, VERSION);
    if (!version) return std::move(version).error();
    Result<Ref> one_two = py::checked(Py_BuildValue("(ii)", 1, 2));
    if (!one_two) return std::move(one_two).error();
    int at_least = PyObject_RichCompareBool(version->get(), one_two->get(), Py_GE);
    if (at_least < 0) return PyError::fetch();
    if (at_least == 0) {
        Result<Ref> first = py::checked(PySequence_GetItem(version->get(), 0));
        if (!first) return std::move(first).error();
        Result<Ref> one = py::checked(PyLong_FromLong(1));
        if (!one) return std::move(one).error();
        at_least = PyObject_RichCompareBool(first->get(), one->get(), Py_GT);
        if (at_least < 0) return PyError::fetch();
    }
    return at_least != 0 ? 1024 : 511;
}

Result<std::unique_ptr<SerializerState>> make_state() {
    auto state = std::make_unique<SerializerState>();
    Result<Ref> host = py::checked(PyImport_ImportModule("quib.serialize"));
    if (!host) return std::move(host).error();
    state->globals = Ref::take(PyModule_GetDict(host->get()));
    Result<Ref> msgpack = py::checked(PyImport_ImportModule("msgpack"));
    if (!msgpack) return std::move(msgpack).error();
    for (auto [slot, name] : {std::pair{&state->ext_type, &EXT_TYPE}, std::pair{&state->timestamp, &TIMESTAMP},
                              std::pair{&state->packb, &PACKB}}) {
        Result<Ref> found = attribute(msgpack->get(), *name);
        if (!found) return std::move(found).error();
        *slot = std::move(found).value();
    }
    Result<int> limit = nest_limit_of(msgpack->get());
    if (!limit) return std::move(limit).error();
    state->nest_limit = limit.value();
    Result<Ref> strict = py::checked(Py_BuildValue("(s)", "strict_types"));
    if (!strict) return std::move(strict).error();
    state->strict_types = std::move(strict).value();
    Result<Ref> signed_keyword = py::checked(Py_BuildValue("(s)", "signed"));
    if (!signed_keyword) return std::move(signed_keyword).error();
    state->signed_keyword = std::move(signed_keyword).value();
    PyObject* class_name = CLASS.get();
    if (class_name == nullptr) return PyError::fetch();
    state->object_class = lookup_on_type(&PyBaseObject_Type, class_name);
    state->object_getattribute = PyBaseObject_Type.tp_getattro;
    if (state->object_class == nullptr || state->object_getattribute == nullptr) {
        throw py::InternalFailure("assertion failed: object_class != 0 && object_getattribute != 0");
    }
    return state;
}

}  // namespace

Result<Ref> SerializerState::global(py::InternedName& name) const {
    PyObject* key = name.get();
    if (key == nullptr) return PyError::fetch();
    PyObject* found = PyDict_GetItemWithError(globals.get(), key);
    if (found == nullptr) {
        if (PyErr_Occurred()) return PyError::fetch();
        return PyError::format(PyExc_NameError, "name '%s' is not defined", name.text());
    }
    return Ref::take(found);
}

py::Status SerializerState::set_global(py::InternedName& name, PyObject* value) const {
    PyObject* key = name.get();
    if (key == nullptr) return PyError::fetch();
    return py::checked_status(PyDict_SetItem(globals.get(), key, value));
}

Result<Serializer> Serializer::shared() {
    if (const SerializerState* state = SERIALIZER.load(std::memory_order_acquire)) return Serializer(state);
    if (MAKING_HERE) {
        return PyError::make(PyExc_RuntimeError, "Quib's value serializer is still being set up on this thread");
    }
    py::lock_attached(SERIALIZER_MAKING);
    std::unique_lock<std::mutex> held(SERIALIZER_MAKING, std::adopt_lock);
    if (const SerializerState* state = SERIALIZER.load(std::memory_order_acquire)) return Serializer(state);
    struct Making {
        Making() noexcept { MAKING_HERE = true; }
        ~Making() { MAKING_HERE = false; }
    };
    auto made = [] {
        Making making;
        return make_state();
    }();
    if (!made) return std::move(made).error();
    const SerializerState* state = made.value().release();  // lives until the process ends
    SERIALIZER.store(state, std::memory_order_release);
    return Serializer(state);
}

PyObject* lookup_on_type(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) continue;
        Ref dict = Ref::steal(py::compat::type_dict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) {
            PyErr_Clear();
            continue;
        }
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);
        if (found != nullptr) return found;  // the type keeps its dict, and so the value, alive
        if (PyErr_Occurred()) PyErr_Clear();
    }
    return nullptr;
}

}  // namespace quib::values
