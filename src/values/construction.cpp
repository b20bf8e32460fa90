// Objects under construction: a traced __init__ has `self` among its locals before the object is
// complete, and its repr may fail or misbehave. The host lists such objects (once per encoding
// job, and only when a value could run its own code while being described); listed ones are
// written as the host's placeholder text.
#include "values/encoder.hpp"

#include "values/construction_switches.hpp"
#include "values/ext_types.hpp"
#include "values/names.hpp"
#include "values/payload.hpp"

#include <algorithm>

namespace quib::values {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

bool is_heap_type(PyTypeObject* type) noexcept { return PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) != 0; }

// Whether the type at `address` is in `type`'s MRO; the address is only compared, since the host
// may list anything.
bool has_base_at(PyTypeObject* type, std::uint64_t address) noexcept {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return reinterpret_cast<std::uintptr_t>(type) == address;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        if (reinterpret_cast<std::uintptr_t>(PyTuple_GET_ITEM(mro, i)) == address) return true;
    }
    return false;
}

}  // namespace

bool NativeMsgpackEncoder::construction_check_applies(PyObject* value) const {
    if (CHECK_OFF.load(std::memory_order_relaxed)) return false;
    PyTypeObject* type = Py_TYPE(value);
    if (!((type == &PyMethod_Type && !lightweight_) || is_heap_type(type))) return false;
    return !construction_ || construction_->size() > 1;
}

bool NativeMsgpackEncoder::construction_default(PyObject* value, Payload& payload, bool& applies) {
    applies = false;
    const bool is_method = Py_TYPE(value) == &PyMethod_Type;
    PyObject* target = value;
    if (is_method) {
        if (lightweight_) return true;
        target = PyMethod_GET_SELF(value);
    }
    PyTypeObject* type = Py_TYPE(target);
    if (!is_heap_type(type)) return true;
    PyTypeObject* base = type;
    while (base != nullptr && is_heap_type(base)) base = base->tp_base;
    if (base == &PyBaseObject_Type && (type->tp_repr == PyBaseObject_Type.tp_repr || (!is_method && lightweight_)) &&
        type->tp_getattro == state_.object_getattribute &&
        lookup_on_type(type, names::CLASS.get()) == state_.object_class) {
        return true;  // describing it runs none of the program's code
    }
    Result<Ref> text = placeholder_if_under_construction(value, target, is_method);
    if (!text) return fail(std::move(text).error());
    if (!text.value()) return true;
    Ref encoded = Ref::steal(PyObject_CallMethodObjArgs(text->get(), names::ENCODE.get(), names::UTF8.get(),
                                                        names::BACKSLASHREPLACE.get(), nullptr));
    if (!encoded) return fail_python();
    payload = Payload::text(std::move(encoded), ext::TEXT);
    applies = true;
    return true;
}

Result<Ref> NativeMsgpackEncoder::placeholder_if_under_construction(PyObject* value, PyObject* target,
                                                                    bool is_method) {
    if (!construction_) {
        py::Status loaded = load_construction_list();
        if (!loaded) return std::move(loaded).error();
    }
    if (!listed_as_under_construction(target)) return Ref();
    Result<Ref> text = [&]() -> Result<Ref> {
        if (is_method) {
            Result<Ref> describe = state_.global(names::METHOD_UNDER_CONSTRUCTION_REPR);
            if (!describe) return describe;
            return py::checked(PyObject_CallOneArg(describe->get(), value));
        }
        Result<Ref> describe = state_.global(names::UNDER_CONSTRUCTION_REPR);
        if (!describe) return describe;
        return py::checked(PyObject_CallFunctionObjArgs(describe->get(), value, Py_False,
                                                        lightweight_ ? Py_True : Py_False, nullptr));
    }();
    if (!text) return text;
    if (text->get() == Py_None) return Ref();
    return text;
}

py::Status NativeMsgpackEncoder::load_construction_list() {
    std::vector<std::uint64_t> listed;
    if (CHECK_OFF.load(std::memory_order_relaxed)) {
        construction_ = std::move(listed);
        return py::Status();
    }
    Result<Ref> ask = state_.global(names::OBJECTS_UNDER_CONSTRUCTION);
    if (!ask) return std::move(ask).error();
    Result<Ref> answer = py::checked(PyObject_CallNoArgs(ask->get()));
    if (!answer) return std::move(answer).error();
    PyObject* sequence = answer->get();
    if (PyUnicode_Check(sequence)) return PyError::make(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(sequence)) {
        return PyError::format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                               Py_TYPE(sequence)->tp_name);
    }
    Ref items = Ref::steal(PySequence_Fast(sequence, "the construction list must be a sequence"));
    if (!items) return PyError::fetch();
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    listed.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref number = Ref::steal(PyNumber_Index(PySequence_Fast_GET_ITEM(items.get(), i)));
        if (!number) return PyError::fetch();
        const unsigned long long address = PyLong_AsUnsignedLongLong(number.get());
        if (address == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyError::fetch();
        listed.push_back(address);
    }
    construction_ = std::move(listed);
    return py::Status();
}

bool NativeMsgpackEncoder::listed_as_under_construction(PyObject* target) const {
    const std::vector<std::uint64_t>& listed = *construction_;
    if (listed.size() < 2) return false;
    const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(target));
    const auto begin = listed.begin();
    const std::size_t direct = static_cast<std::size_t>(std::min<std::uint64_t>(listed[0], listed.size() - 1));
    if (std::find(begin + 1, begin + 1 + static_cast<std::ptrdiff_t>(direct), address) != begin + 1 + static_cast<std::ptrdiff_t>(direct)) {
        return true;
    }
    PyTypeObject* type = Py_TYPE(target);
    std::size_t position = 1 + direct;
    while (listed.size() - position >= 3) {
        const std::uint64_t group_type = listed[position];
        const std::uint64_t flag = listed[position + 1];
        const std::uint64_t members = listed[position + 2];
        position += 3;
        const std::size_t present = static_cast<std::size_t>(std::min<std::uint64_t>(members, listed.size() - position));
        const auto first = begin + static_cast<std::ptrdiff_t>(position);
        const auto last = first + static_cast<std::ptrdiff_t>(present);
        position += present;
        if (std::find(first, last, address) != last) continue;  // known to be complete
        if (has_base_at(type, group_type) && (flag == 0 || type->tp_init != PyBaseObject_Type.tp_init)) return true;
    }
    return false;
}

}  // namespace quib::values
