// The native MessagePack value encoder. One encoder serves one encoding job (a frame record, an
// assignment, a plug-in frame, a `_native_dump_msgpack` call) and is dropped after it; it needs the
// interpreter lock throughout, also when it is destroyed.
//
// `encode_value` appends exactly one MessagePack value, or nothing at all: on failure the buffer is
// cut back to where the value started, and a value over the budget is replaced as a whole by a
// truncation marker (extension 12). None, booleans, exact ints, floats, str, bytes, lists and
// dicts are written straight from the objects; everything else takes the non-native path
// (extensions for tuples, sets, dates, big ints, decimals; repr text for other objects).
//
// The internals follow one convention: a `bool` result, false on failure with the reason kept as
// the pending error, after which nothing more is written.
#pragma once

#include "values/byte_buffer.hpp"
#include "values/encode_error.hpp"
#include "values/encoder_stacks.hpp"
#include "values/plain_values.hpp"
#include "values/repr_memo.hpp"
#include "values/serializer_state.hpp"
#include "values/shared_containers.hpp"
#include "values/value_interning_hook.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quib::values {

// How many encoders on this thread hold the host profiler flag (`_native_encode_in_progress`).
extern constinit thread_local std::uint32_t NATIVE_ENCODES;

struct [[nodiscard]] EncodeResult {
    std::optional<EncodeError> error;
    bool truncated = false;  // a truncation marker was written in place of the value
    bool ok() const noexcept { return !error.has_value(); }
};

// Ext with a payload of known length; ValueError "EXT data is too large" from 4 GiB on.
py::Status write_ext(ByteBuffer& out, std::int8_t type, std::span<const std::uint8_t> payload);

struct Payload;

class NativeMsgpackEncoder {
public:
    NativeMsgpackEncoder(const Serializer& serializer, std::optional<std::uint64_t> budget, bool lightweight_repr,
                         ValueInterningHook* interning = nullptr) noexcept;
    ~NativeMsgpackEncoder();
    NativeMsgpackEncoder(const NativeMsgpackEncoder&) = delete;
    NativeMsgpackEncoder& operator=(const NativeMsgpackEncoder&) = delete;

    EncodeResult encode_value(PyObject* value, ByteBuffer& out);
    // Takes over a job whose first values went through PlainValues: their containers count
    // towards shared-reference tracking here too.
    void continue_from(const PlainValues& plain) noexcept { plain_containers_ = plain.plain_containers(); }

    std::optional<std::uint64_t> budget() const noexcept { return budget_; }
    void set_budget(std::optional<std::uint64_t> budget) noexcept { budget_ = budget; }
    bool lightweight_repr() const noexcept { return lightweight_; }
    // Some value of this job needed the non-native path.
    bool default_hook_used() const noexcept { return default_hook_used_; }
    std::uint64_t placeholders_written() const noexcept { return placeholders_; }
    std::size_t memoized_reprs() const noexcept { return memo_.size(); }

    // An extension whose payload length is not known in advance: reserve six bytes (the largest
    // header), write the payload (the reservation is not charged to the budget meanwhile), then
    // finish with the smallest header, moving the payload down. Failure: "EXT data is too large".
    std::size_t begin_reserved_extension(ByteBuffer& out);
    py::Status finish_reserved_extension(ByteBuffer& out, std::size_t position, std::int8_t type);

private:
// The internals are called only from inside the engine library; hidden, so that those calls are
// direct instead of going through the library's symbol table.
#define QUIB_ENCODER_INTERNAL [[gnu::visibility("hidden")]]

    // encoder.cpp: entry, dispatch, budget, errors, profiler flag, truncation marker
    QUIB_ENCODER_INTERNAL bool pack(PyObject* value, ByteBuffer& out, int depth);
    QUIB_ENCODER_INTERNAL bool pack_int(PyObject* value, ByteBuffer& out, int depth);
    bool within_budget(std::size_t current, std::size_t more) const noexcept {
        std::size_t projected = current + more;
        if (projected < current) projected = SIZE_MAX;
        projected = projected > credit_ ? projected - credit_ : 0;
        return projected <= deadline_;
    }
    bool check_budget(const ByteBuffer& out, std::size_t more) {
        return within_budget(out.size(), more) || over_budget();
    }
    QUIB_ENCODER_INTERNAL bool over_budget();
    QUIB_ENCODER_INTERNAL bool fail(py::PyError error);
    QUIB_ENCODER_INTERNAL bool fail_python();  // fetches the exception that is set
    QUIB_ENCODER_INTERNAL bool fail_text(PyObject* type, const char* text);
    QUIB_ENCODER_INTERNAL bool set_profiler_flag();
    QUIB_ENCODER_INTERNAL py::Status reset_profiler_flag();
    QUIB_ENCODER_INTERNAL void write_truncation_marker(PyObject* value, ByteBuffer& out);
    QUIB_ENCODER_INTERNAL bool write_ext_checked(ByteBuffer& out, std::int8_t type, const void* payload, std::size_t length);

    // strings.cpp
    enum class Inert : std::uint8_t { Written, NotInert, Failed };
    Inert pack_inert(PyObject* item, ByteBuffer& out);  // inline, encoder_inline.hpp
    bool write_fixstr(const char* data, std::size_t length, ByteBuffer& out);  // inline
    QUIB_ENCODER_INTERNAL bool pack_str(PyObject* text, ByteBuffer& out);
    QUIB_ENCODER_INTERNAL bool pack_bytes(PyObject* bytes, ByteBuffer& out);
    QUIB_ENCODER_INTERNAL bool pack_bytearray(PyObject* bytes, ByteBuffer& out);
    QUIB_ENCODER_INTERNAL bool pack_unencodable_str(PyObject* text, ByteBuffer& out);
    QUIB_ENCODER_INTERNAL bool pack_binary(PyObject* object, InternKind kind, const char* data, std::size_t length, ByteBuffer& out,
                     bool is_str);

    // containers.cpp: lists and dicts, careful mode, shared references
    QUIB_ENCODER_INTERNAL bool pack_container(PyObject* container, ByteBuffer& out, int depth);
    QUIB_ENCODER_INTERNAL bool pack_list_items(PyObject* list, ByteBuffer& out, int depth);
    QUIB_ENCODER_INTERNAL bool pack_dict_items(PyObject* dict, ByteBuffer& out, int depth);
    QUIB_ENCODER_INTERNAL bool pack_snapshot(std::size_t from, ByteBuffer& out, int depth);
    QUIB_ENCODER_INTERNAL bool pack_dict_copy_tracked(PyObject* original, PyObject* copy, ByteBuffer& out, int depth);
    QUIB_ENCODER_INTERNAL bool write_placeholder(const char* text, ByteBuffer& out);
    QUIB_ENCODER_INTERNAL void start_shared_tracking();
    QUIB_ENCODER_INTERNAL void release_shared() noexcept;

    // uncommon.cpp: the non-native path
    QUIB_ENCODER_INTERNAL bool pack_uncommon(PyObject* value, ByteBuffer& out, int depth);
    QUIB_ENCODER_INTERNAL bool write_unsupported_leaf(PyObject* value, ByteBuffer& out, int depth);
    QUIB_ENCODER_INTERNAL bool unsupported_leaf_steps(PyObject* value, ByteBuffer& out, int depth);
    QUIB_ENCODER_INTERNAL bool pack_extension_items(PyObject* value, bool as_list, PyObject* items, ByteBuffer& out);
    QUIB_ENCODER_INTERNAL bool pack_reserved_items(PyObject* value, bool as_list, PyObject* items, std::int8_t type, ByteBuffer& out);
    QUIB_ENCODER_INTERNAL bool pack_with_msgpack(PyObject* value, ByteBuffer& out);
    QUIB_ENCODER_INTERNAL bool write_payload(Payload& payload, ByteBuffer& out);

    // leaf_payload.cpp
    enum class Plain : std::uint8_t { Unknown, Yes, No };
    QUIB_ENCODER_INTERNAL py::Result<bool> isinstance(PyObject* value, PyObject* cls, Plain& plain);
    QUIB_ENCODER_INTERNAL bool default_leaf_payload(PyObject* value, const ByteBuffer& out, Plain& plain, Payload& payload);
    QUIB_ENCODER_INTERNAL bool unmatched_leaf_payload(PyObject* value, Payload& payload);
    QUIB_ENCODER_INTERNAL py::Result<py::Ref> queryset_class();
    QUIB_ENCODER_INTERNAL bool handle_default_error(PyObject* value, ByteBuffer& out);

    // repr.cpp
    QUIB_ENCODER_INTERNAL py::Result<MemoText> repr(PyObject* object, bool top_level);
    QUIB_ENCODER_INTERNAL py::Result<MemoText> bound_method_repr(PyObject* method);

    // construction.cpp
    QUIB_ENCODER_INTERNAL bool construction_check_applies(PyObject* value) const;
    QUIB_ENCODER_INTERNAL bool construction_default(PyObject* value, Payload& payload, bool& applies);
    QUIB_ENCODER_INTERNAL py::Result<py::Ref> placeholder_if_under_construction(PyObject* value, PyObject* target, bool is_method);
    QUIB_ENCODER_INTERNAL py::Status load_construction_list();
    QUIB_ENCODER_INTERNAL bool listed_as_under_construction(PyObject* target) const;

#undef QUIB_ENCODER_INTERNAL

    const SerializerState& state_;
    std::optional<std::uint64_t> budget_;
    std::size_t deadline_ = SIZE_MAX;
    std::size_t credit_ = 0;
    const bool lightweight_;
    bool careful_ = false;
    bool default_hook_used_ = false;
    bool profiler_flag_held_ = false;
    std::optional<EncodeError> pending_;

    InProgressStack in_progress_;
    RefStack snapshot_;
    std::unique_ptr<SharedContainers> shared_;
    std::uint64_t plain_containers_ = 0;
    std::uint64_t placeholders_ = 0;
    std::uint32_t dict_copy_depth_ = 0;
    std::uint32_t extension_depth_ = 0;

    std::string scratch_;
    ReprMemo memo_;
    ValueInterningHook* interning_;
    std::optional<std::vector<std::uint64_t>> construction_;
};

}  // namespace quib::values
