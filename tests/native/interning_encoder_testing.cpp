// Value interning through the real encoder: `interning_encode` encodes one value the way a frame
// record's values are encoded, with the interning hook of a test interning state and capture.
// Present once the value encoder is part of the build.
#include "storage_support.hpp"

#include "storage/interning_hook.hpp"
#include "values/byte_buffer.hpp"
#include "values/encoder.hpp"

namespace {

using namespace quib;
using namespace quib::testing::storage_support;

Result<Ref> interning_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args a("interning_encode", args, nargs, kwnames);
    if (auto bad = arity(a, 3, 3)) return std::move(*bad);
    auto interning = a.find(tables().internings, 0);
    if (!interning) return std::move(interning).error();
    auto capture = a.find(tables().captures, 1);
    if (!capture) return std::move(capture).error();
    Result<values::Serializer> serializer = values::Serializer::shared();
    if (!serializer) return std::move(serializer).error();
    ValueInterningContext context(capture.value());
    InterningHook hook(*interning.value(), context);
    values::NativeMsgpackEncoder encoder(serializer.value(), std::nullopt, false, &hook);
    values::ByteBuffer out;
    values::EncodeResult result = encoder.encode_value(a.object(2), out);
    if (!result.ok()) return std::move(*result.error).into_pyerr();
    return bytes_object(out.bytes());
}

QUIB_TESTING_FUNCTION(py::fast_method<interning_encode>("interning_encode",
                                                        "interning_encode(interning, capture, value)\n--\n\n"));

}  // namespace

