// Shared by the storage test entries: tables of the stores, captures, runtimes and reservations
// that tests create (by number), and positional argument helpers.
#pragma once

#include "registry.hpp"

#include "py/args.hpp"
#include "storage/frame_store.hpp"
#include "storage/io_error.hpp"
#include "storage/trace_capture.hpp"
#include "storage/value_interning.hpp"
#include "storage/writer_commands.hpp"
#include "storage/writer_runtime.hpp"

#include <map>
#include <optional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace quib::testing::storage_support {

using py::PyError;
using py::Ref;
using py::Result;
using namespace quib::storage;

struct Tables {
    std::map<std::uint64_t, std::shared_ptr<FrameStore>> stores;
    std::map<std::uint64_t, std::shared_ptr<TraceCapture>> captures;
    std::map<std::uint64_t, std::shared_ptr<WriterRuntime>> runtimes;
    std::map<std::uint64_t, ResidentReservation> reservations;
    std::map<std::uint64_t, std::shared_ptr<ValueInterning>> internings;
    std::uint64_t next = 1;
};

inline Tables& tables() {
    static Tables* made = new Tables();
    return *made;
}

template <class T>
std::uint64_t keep(std::map<std::uint64_t, T>& table, T value) {
    std::uint64_t number = tables().next++;
    table.emplace(number, std::move(value));
    return number;
}

// Positional arguments only.
class Args {
public:
    Args(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
        : function_(function), args_(args), nargs_(kwnames ? -1 : nargs) {}

    py::Status expect(Py_ssize_t least, Py_ssize_t most) const {
        if (nargs_ < least || nargs_ > most) {
            return PyError::format(PyExc_TypeError, "%s() takes %zd to %zd positional arguments", function_, least,
                                   most);
        }
        return {};
    }
    bool given(Py_ssize_t i) const { return i < nargs_ && args_[i] != Py_None; }
    PyObject* object(Py_ssize_t i) const { return args_[i]; }
    Result<std::uint64_t> u64(Py_ssize_t i) const { return py::u64_argument(function_, "argument", args_[i]); }
    Result<std::span<const std::uint8_t>> bytes(Py_ssize_t i) const {
        if (!PyBytes_Check(args_[i])) return py::argument_type_error(function_, "argument", "bytes", args_[i]);
        return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(args_[i])),
                                             static_cast<std::size_t>(PyBytes_GET_SIZE(args_[i])));
    }
    Result<std::string> text(Py_ssize_t i) const {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(args_[i], &size);
        if (data == nullptr) return PyError::fetch();
        return std::string(data, static_cast<std::size_t>(size));
    }
    Result<double> real(Py_ssize_t i) const {
        double value = PyFloat_AsDouble(args_[i]);
        if (value == -1.0 && PyErr_Occurred()) return PyError::fetch();
        return value;
    }

    template <class T>
    Result<T> find(std::map<std::uint64_t, T>& table, Py_ssize_t i) const {
        Result<std::uint64_t> number = u64(i);
        if (!number) return std::move(number).error();
        auto found = table.find(number.value());
        if (found == table.end()) return PyError::format(PyExc_KeyError, "%s(): no object %llu", function_,
                                                         static_cast<unsigned long long>(number.value()));
        return found->second;
    }

private:
    const char* function_;
    PyObject* const* args_;
    Py_ssize_t nargs_;
};

inline Ref bytes_object(std::span<const std::uint8_t> data) {
    return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                static_cast<Py_ssize_t>(data.size())));
}

inline Ref unsigned_int(std::uint64_t value) { return Ref::steal(PyLong_FromUnsignedLongLong(value)); }

// An arity error, or nothing.
inline std::optional<PyError> arity(const Args& args, Py_ssize_t least, Py_ssize_t most) {
    py::Status status = args.expect(least, most);
    if (!status) return std::move(status).error();
    return std::nullopt;
}

// [(thread token, bytes), ...] as thread metadata records.
inline py::Result<std::vector<quib::storage::ThreadMetadata>> thread_metadata_list(PyObject* sequence) {
    Ref list = Ref::steal(PySequence_List(sequence));
    if (!list) return PyError::fetch();
    std::vector<quib::storage::ThreadMetadata> out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        unsigned int token = 0;
        const char* data = nullptr;
        Py_ssize_t size = 0;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(list.get(), i), "Iy#", &token, &data, &size)) return PyError::fetch();
        out.push_back({token, quib::storage::Bytes(data, data + size)});
    }
    return out;
}

// [(value_id, bytes), ...] as published values.
inline py::Result<std::vector<quib::storage::PublishedValue>> published_values(PyObject* sequence) {
    Ref list = Ref::steal(PySequence_List(sequence));
    if (!list) return PyError::fetch();
    std::vector<quib::storage::PublishedValue> values;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        unsigned int id = 0;
        const char* data = nullptr;
        Py_ssize_t size = 0;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(list.get(), i), "Iy#", &id, &data, &size)) return PyError::fetch();
        values.push_back({id, std::make_shared<const quib::storage::Bytes>(data, data + size)});
    }
    return values;
}

}  // namespace quib::testing::storage_support

