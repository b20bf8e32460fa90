// Encoding whole values to bytes: `dump_msgpack` (what `_native_dump_msgpack` returns) and
// `dump_msgpack_capped`, the plug-in frame encoder, which keeps a frame dict's identity entries
// intact when the dict as a whole is over its budget.
#pragma once

#include "py/error.hpp"
#include "values/serializer_state.hpp"

#include <cstdint>
#include <optional>

namespace quib::values {

py::Result<py::Ref> dump_msgpack(const Serializer& serializer, PyObject* value, std::optional<std::uint64_t> budget,
                                 bool lightweight_repr);

// As dump_msgpack; but when `value` is an exact dict that had to be truncated, it is written
// again item by item: keys and the identity entries ("path", "event", "co_name", "subtype",
// "qualname", "frame_id", "timestamp", "user_code_call_site") without a budget, every other value
// with the budget, so that only the oversized entries become truncation markers.
py::Result<py::Ref> dump_msgpack_capped(const Serializer& serializer, PyObject* value,
                                        std::optional<std::uint64_t> budget, bool lightweight_repr);

}  // namespace quib::values
