// `_quib.writer_circuit_open()`: whether the process's trace writer circuit breaker has opened.
#include "module/functions.hpp"
#include "storage/writer_runtime.hpp"

namespace quib::module {

py::Result<py::Ref> writer_circuit_open(PyObject*) {
    return py::Ref::boolean(storage::PROCESS_WRITER_CIRCUIT_OPEN.load(std::memory_order_acquire));
}

}  // namespace quib::module
