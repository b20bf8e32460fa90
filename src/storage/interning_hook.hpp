// The value encoder's interning hook, backed by a tracer's `ValueInterning` and the capture of the
// trace being recorded. A tracer makes one per encoding job and hands it to the encoder.
#pragma once

#include "storage/value_interning.hpp"
#include "values/value_interning_hook.hpp"

namespace quib::storage {

class InterningHook final : public values::ValueInterningHook {
public:
    // Both must outlive the hook (a tracer keeps them; the hook lives for one encoding job).
    InterningHook(ValueInterning& interning, const ValueInterningContext& context)
        : interning_(interning), context_(context) {}

    values::InternAnswer lookup_value(PyObject* object, values::InternKind kind, std::string_view text,
                                      values::ByteBuffer& out, std::string& message) override;
    void cache_current_value(PyObject* object, values::InternKind kind, std::size_t text_length,
                             std::span<const std::uint8_t> encoded) override;

private:
    ValueInterning& interning_;
    const ValueInterningContext& context_;
};

}  // namespace quib::storage

