#include "storage/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace quib::storage {

IoErrorKind kind_of_errno(int error_number) noexcept {
    switch (error_number) {
        case ENOENT: return IoErrorKind::NotFound;
        case EACCES:
        case EPERM: return IoErrorKind::PermissionDenied;
        case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
        case ECONNRESET: return IoErrorKind::ConnectionReset;
        case ECONNABORTED: return IoErrorKind::ConnectionAborted;
        case EPIPE: return IoErrorKind::BrokenPipe;
        case EEXIST: return IoErrorKind::AlreadyExists;
        case EAGAIN: return IoErrorKind::WouldBlock;
        case ENOTDIR: return IoErrorKind::NotADirectory;
        case EISDIR: return IoErrorKind::IsADirectory;
        case ETIMEDOUT: return IoErrorKind::TimedOut;
        case EINTR: return IoErrorKind::Interrupted;
        case ENOMEM: return IoErrorKind::OutOfMemory;
        case EINVAL: return IoErrorKind::InvalidInput;
        default: return IoErrorKind::Other;
    }
}

IoError IoError::from_errno(int error_number, std::string_view context) {
    std::string message(context);
    message += ": ";
    message += std::strerror(error_number);
    message += " (os error " + std::to_string(error_number) + ")";
    return make(kind_of_errno(error_number), std::move(message));
}

IoError IoError::from_python(py::PyError error) {
    std::string text = error.text();
    return IoError{IoErrorKind::Other, std::move(text), std::make_shared<const py::PyError>(std::move(error))};
}

namespace {

PyObject* exception_type(IoErrorKind kind) noexcept {
    switch (kind) {
        case IoErrorKind::NotFound: return PyExc_FileNotFoundError;
        case IoErrorKind::PermissionDenied: return PyExc_PermissionError;
        case IoErrorKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
        case IoErrorKind::ConnectionReset: return PyExc_ConnectionResetError;
        case IoErrorKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
        case IoErrorKind::BrokenPipe: return PyExc_BrokenPipeError;
        case IoErrorKind::AlreadyExists: return PyExc_FileExistsError;
        case IoErrorKind::WouldBlock: return PyExc_BlockingIOError;
        case IoErrorKind::NotADirectory: return PyExc_NotADirectoryError;
        case IoErrorKind::IsADirectory: return PyExc_IsADirectoryError;
        case IoErrorKind::TimedOut: return PyExc_TimeoutError;
        case IoErrorKind::Interrupted: return PyExc_InterruptedError;
        case IoErrorKind::OutOfMemory: return PyExc_MemoryError;
        case IoErrorKind::InvalidInput:
        case IoErrorKind::InvalidData:
        case IoErrorKind::UnexpectedEof:
        case IoErrorKind::Other: return PyExc_OSError;
    }
    return PyExc_OSError;
}

}  // namespace

py::PyError to_python(const IoError& error) {
    if (error.python) return *error.python;
    // Messages may hold file names that are not valid UTF-8: keep their bytes as surrogates, as
    // the os module does, instead of failing to build the exception.
    py::Ref message = py::Ref::steal(PyUnicode_DecodeUTF8(
        error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "surrogateescape"));
    if (!message) return py::PyError::fetch();
    PyErr_SetObject(exception_type(error.kind), message.get());
    return py::PyError::fetch();
}

}  // namespace quib::storage
