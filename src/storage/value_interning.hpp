// Value interning: a large str or bytes object (4 KiB to 16 MiB of text) that a program passes
// through many frames is written into the trace once, as a value record, and replaced everywhere
// else by a 6-byte reference (MessagePack fixext 4, type 9, big-endian identifier).
//
// Each thread tracks the objects it sees by address. A first sighting leaves a candidate
// (a fingerprint: kind, length, first and last 8 bytes; no reference held); a second sighting
// with the same fingerprint caches the encoding (holding the object, so that its address cannot be
// reused); the third sighting publishes it to the tracer's value table and the trace capture, and
// from then on the reference is written. Cached bytes are bounded per thread and across threads,
// the table by entries and bytes; a full table or a failed publication switches interning off for
// the tracer, and values are written inline again.
//
// All of it runs with the interpreter lock held (the encoder's thread).
#pragma once

#include "py/gil_mutex.hpp"
#include "module/per_thread.hpp"
#include "py/ref.hpp"
#include "storage/io_error.hpp"
#include "storage/writer_commands.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace quib::storage {

class TraceCapture;

inline constexpr std::size_t INTERN_MIN_TEXT = 4096;
inline constexpr std::size_t INTERN_MAX_TEXT = 16 * 1024 * 1024;
inline constexpr std::size_t INTERNER_MAX_ENTRIES = 2048;
inline constexpr std::uint64_t THREAD_CACHED_CHARGE_LIMIT = 4 * 1024 * 1024;
inline constexpr std::uint64_t SHARED_CACHED_CHARGE_LIMIT = 4 * 1024 * 1024;
inline constexpr std::size_t VALUE_TABLE_MAX_ENTRIES = 4096;
inline constexpr std::uint64_t VALUE_TABLE_CHARGE_LIMIT = 16 * 1024 * 1024;
inline constexpr std::uint8_t VALUE_REFERENCE_EXT = 9;

enum class InternedKind : std::uint8_t { Str, Bytes };

enum class LookupAnswer : std::uint8_t {
    ReferenceWritten,  // write the reference to `value_id` instead of the value
    WriteNormally,
    WriteAndCache,  // write the value, then hand its encoding to `cache_current_value`
    Failed,         // the value fails with OSError(message): the writer's circuit breaker is open
};

struct Lookup {
    LookupAnswer answer = LookupAnswer::WriteNormally;
    std::uint32_t value_id = 0;
    std::string message;
};

std::array<std::uint8_t, 6> value_reference(std::uint32_t value_id) noexcept;

// Where one encoding job publishes values: the tracer's capture, held directly or through a
// swappable slot (a tracer that moves on to the next trace swaps its capture).
class ValueInterningContext {
public:
    using CaptureSlot = py::Guarded<std::shared_ptr<TraceCapture>>;
    explicit ValueInterningContext(std::shared_ptr<TraceCapture> capture) : source_(std::move(capture)) {}
    explicit ValueInterningContext(std::shared_ptr<CaptureSlot> slot) : source_(std::move(slot)) {}

    IoStatus publish_value(std::uint32_t value_id, const SharedBytes& bytes) const;
    bool writer_circuit_is_open() const;

private:
    std::shared_ptr<TraceCapture> current() const;
    std::variant<std::shared_ptr<TraceCapture>, std::shared_ptr<CaptureSlot>> source_;
};

struct InternedValue {
    SharedBytes encoded;  // header and text
    py::Ref object;
    InternedKind kind = InternedKind::Str;
    std::size_t header_length = 0;

    std::uint64_t charge() const noexcept { return encoded->size() + (encoded->size() - header_length); }
};

struct Fingerprint {
    InternedKind kind = InternedKind::Str;
    std::size_t length = 0;
    std::array<std::uint8_t, 8> first{};
    std::array<std::uint8_t, 8> last{};
    static Fingerprint of(InternedKind kind, std::string_view text) noexcept;
    bool operator==(const Fingerprint&) const = default;
};

struct CandidateValue {
    Fingerprint fingerprint;
};
struct CachedEntry {
    std::shared_ptr<const InternedValue> value;
};
struct PublishedEntry {
    std::shared_ptr<const InternedValue> value;
    std::uint32_t value_id = 0;
};
using CachedValue = std::variant<CandidateValue, CachedEntry, PublishedEntry>;

// One thread's view; used only by its thread. A thread that exits leaves its interner behind until
// a later thread inherits its slot; the charge it held is then returned to the shared counter.
struct ValueInterner {
    std::unordered_map<const PyObject*, CachedValue> entries;
    std::uint64_t cached_charge = 0;
    bool borrowed = false;
    std::atomic<std::uint64_t>* shared_charge = nullptr;

    ValueInterner() = default;
    ValueInterner(const ValueInterner&) = delete;
    ValueInterner& operator=(const ValueInterner&) = delete;
    ~ValueInterner();
};

class ValueInterning {
public:
    ValueInterning();
    ~ValueInterning();
    ValueInterning(const ValueInterning&) = delete;
    ValueInterning& operator=(const ValueInterning&) = delete;

    // For an exact str or bytes whose text is INTERN_MIN_TEXT..INTERN_MAX_TEXT bytes.
    Lookup lookup_value(const ValueInterningContext& context, PyObject* object, InternedKind kind,
                        std::string_view text);
    // After WriteAndCache: the value as just written (header and text).
    void cache_current_value(PyObject* object, InternedKind kind, std::size_t text_length,
                             std::span<const std::uint8_t> encoded);
    // (identifier, bytes) of the given identifiers that are in the table, in the given order.
    std::vector<PublishedValue> snapshot_ids(std::span<const std::uint32_t> value_ids);

    bool disabled() const noexcept { return disabled_.load(std::memory_order_acquire); }
    std::uint64_t shared_cached_charge() const noexcept { return shared_charge_.load(); }
    std::size_t table_size();
    // The calling thread's interner (created on first use).
    ValueInterner& this_thread();

private:
    struct ValueTable {
        std::vector<std::shared_ptr<const InternedValue>> values;
        std::uint64_t charge = 0;
    };
    class Borrow;

    std::optional<std::uint32_t> insert_value(ValueTable& table, const std::shared_ptr<const InternedValue>& value);
    void remove_last(ValueTable& table, std::uint32_t value_id);
    void remove(ValueInterner& interner, const PyObject* address);
    void release_charge(ValueInterner& interner, std::uint64_t charge) noexcept;
    bool reserve_shared(std::uint64_t charge) noexcept;
    bool evict_cached_except(ValueInterner& interner, const PyObject* keep);
    Lookup publish(const ValueInterningContext& context, ValueInterner& interner, const PyObject* address,
                   std::shared_ptr<const InternedValue> value, std::optional<std::uint32_t> known_id);

    // Declared before the interners, which return their charge to it when they go.
    std::atomic<std::uint64_t> shared_charge_{0};
    std::atomic<bool> disabled_{false};
    py::Guarded<ValueTable> table_;
    threads::PerThread<ValueInterner> interners_;
};

}  // namespace quib::storage
