#include "storage/interning_hook.hpp"

namespace quib::storage {

namespace {

InternedKind kind_of(values::InternKind kind) noexcept {
    return kind == values::InternKind::Str ? InternedKind::Str : InternedKind::Bytes;
}

static_assert(INTERN_MIN_TEXT == values::INTERN_MIN && INTERN_MAX_TEXT == values::INTERN_MAX,
              "the encoder and the interner agree on which texts are eligible");

}  // namespace

values::InternAnswer InterningHook::lookup_value(PyObject* object, values::InternKind kind, std::string_view text,
                                                 values::ByteBuffer& out, std::string& message) {
    Lookup lookup = interning_.lookup_value(context_, object, kind_of(kind), text);
    switch (lookup.answer) {
        case LookupAnswer::ReferenceWritten: {
            auto reference = value_reference(lookup.value_id);
            out.append(reference.data(), reference.size());
            return values::InternAnswer::ReferenceWritten;
        }
        case LookupAnswer::WriteAndCache: return values::InternAnswer::WriteAndCache;
        case LookupAnswer::Failed:
            message = std::move(lookup.message);
            return values::InternAnswer::Failed;
        case LookupAnswer::WriteNormally: break;
    }
    return values::InternAnswer::WriteNormally;
}

void InterningHook::cache_current_value(PyObject* object, values::InternKind kind, std::size_t text_length,
                                        std::span<const std::uint8_t> encoded) {
    interning_.cache_current_value(object, kind_of(kind), text_length, encoded);
}

}  // namespace quib::storage

