#include "storage/value_interning.hpp"

#include "storage/trace_capture.hpp"

#include <algorithm>
#include <cstring>

namespace quib::storage {

std::array<std::uint8_t, 6> value_reference(std::uint32_t value_id) noexcept {
    return {0xd6,
            VALUE_REFERENCE_EXT,
            static_cast<std::uint8_t>(value_id >> 24),
            static_cast<std::uint8_t>(value_id >> 16),
            static_cast<std::uint8_t>(value_id >> 8),
            static_cast<std::uint8_t>(value_id)};
}

// --- context -------------------------------------------------------------------

std::shared_ptr<TraceCapture> ValueInterningContext::current() const {
    if (const auto* direct = std::get_if<std::shared_ptr<TraceCapture>>(&source_)) return *direct;
    auto slot = std::get<std::shared_ptr<CaptureSlot>>(source_)->lock();
    return *slot;
}

IoStatus ValueInterningContext::publish_value(std::uint32_t value_id, const SharedBytes& bytes) const {
    std::shared_ptr<TraceCapture> capture = current();
    if (!capture) return IoError::make(IoErrorKind::BrokenPipe, "trace writer closed");
    return capture->publish_value(value_id, bytes);
}

bool ValueInterningContext::writer_circuit_is_open() const {
    std::shared_ptr<TraceCapture> capture = current();
    return capture ? capture->runtime()->circuit_open() : PROCESS_WRITER_CIRCUIT_OPEN.load();
}

// --- fingerprints and borrowing ---------------------------------------------------

Fingerprint Fingerprint::of(InternedKind kind, std::string_view text) noexcept {
    Fingerprint print;
    print.kind = kind;
    print.length = text.size();
    std::size_t n = std::min<std::size_t>(8, text.size());
    std::memcpy(print.first.data(), text.data(), n);
    std::memcpy(print.last.data(), text.data() + text.size() - n, n);
    return print;
}

// A thread's interner is used by one lookup at a time; a nested use is a broken invariant.
class ValueInterning::Borrow {
public:
    explicit Borrow(ValueInterner& interner) : interner_(interner) {
        if (interner_.borrowed) throw py::InternalFailure("value interner is already borrowed on this thread");
        interner_.borrowed = true;
    }
    ~Borrow() { interner_.borrowed = false; }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    ValueInterner& interner_;
};

// --- ValueInterning ------------------------------------------------------------

ValueInterner::~ValueInterner() {
    if (shared_charge == nullptr || cached_charge == 0) return;
    std::uint64_t current = shared_charge->load();
    while (!shared_charge->compare_exchange_weak(current, current - std::min(current, cached_charge))) {
    }
}

ValueInterning::ValueInterning() : table_("value table poisoned") {}

ValueInterning::~ValueInterning() = default;

ValueInterner& ValueInterning::this_thread() {
    ValueInterner& interner = interners_.get();
    interner.shared_charge = &shared_charge_;
    return interner;
}

std::size_t ValueInterning::table_size() {
    auto table = table_.lock();
    return table->values.size();
}

void ValueInterning::release_charge(ValueInterner& interner, std::uint64_t charge) noexcept {
    interner.cached_charge -= std::min(interner.cached_charge, charge);
    std::uint64_t current = shared_charge_.load();
    while (!shared_charge_.compare_exchange_weak(current, current - std::min(current, charge))) {
    }
}

bool ValueInterning::reserve_shared(std::uint64_t charge) noexcept {
    std::uint64_t current = shared_charge_.load();
    while (current + charge <= SHARED_CACHED_CHARGE_LIMIT) {
        if (shared_charge_.compare_exchange_weak(current, current + charge)) return true;
    }
    return false;
}

void ValueInterning::remove(ValueInterner& interner, const PyObject* address) {
    auto found = interner.entries.find(address);
    if (found == interner.entries.end()) return;
    if (const auto* cached = std::get_if<CachedEntry>(&found->second)) release_charge(interner, cached->value->charge());
    interner.entries.erase(found);
}

bool ValueInterning::evict_cached_except(ValueInterner& interner, const PyObject* keep) {
    for (auto& [address, entry] : interner.entries) {
        if (address != keep && std::holds_alternative<CachedEntry>(entry)) {
            remove(interner, address);
            return true;
        }
    }
    return false;
}

std::optional<std::uint32_t> ValueInterning::insert_value(ValueTable& table,
                                                          const std::shared_ptr<const InternedValue>& value) {
    std::uint64_t charge = value->charge();
    if (table.values.size() >= VALUE_TABLE_MAX_ENTRIES || table.charge + charge > VALUE_TABLE_CHARGE_LIMIT) {
        return std::nullopt;
    }
    table.values.push_back(value);
    table.charge += charge;
    return static_cast<std::uint32_t>(table.values.size() - 1);
}

void ValueInterning::remove_last(ValueTable& table, std::uint32_t value_id) {
    if (table.values.empty() || value_id != table.values.size() - 1) {
        throw py::InternalFailure("value-table rollback must remove its newest unpublished entry");
    }
    table.charge -= table.values.back()->charge();
    table.values.pop_back();
}

Lookup ValueInterning::publish(const ValueInterningContext& context, ValueInterner& interner, const PyObject* address,
                               std::shared_ptr<const InternedValue> value, std::optional<std::uint32_t> known_id) {
    // Table, then capture: publication runs under the table lock.
    auto table = table_.lock();
    std::uint32_t value_id = 0;
    if (known_id) {
        value_id = *known_id;
    } else {
        std::optional<std::uint32_t> inserted = insert_value(*table, value);
        if (!inserted) {
            disabled_.store(true);
            return {};
        }
        value_id = *inserted;
    }
    IoStatus published = context.publish_value(value_id, value->encoded);
    if (!published) {
        if (!known_id) remove_last(*table, value_id);
        disabled_.store(true);
        if (context.writer_circuit_is_open()) return {LookupAnswer::Failed, 0, published.error().message};
        return {};
    }
    if (!known_id) {
        release_charge(interner, value->charge());
        interner.entries[address] = PublishedEntry{std::move(value), value_id};
    }
    return {LookupAnswer::ReferenceWritten, value_id, {}};
}

Lookup ValueInterning::lookup_value(const ValueInterningContext& context, PyObject* object, InternedKind kind,
                                    std::string_view text) {
    if (disabled()) return {};
    ValueInterner& interner = this_thread();
    Borrow borrow(interner);
    Fingerprint print = Fingerprint::of(kind, text);
    auto found = interner.entries.find(object);
    if (found == interner.entries.end()) {
        if (interner.entries.size() >= INTERNER_MAX_ENTRIES) {
            for (const auto& entry : interner.entries) {
                if (entry.first != object) {
                    remove(interner, entry.first);
                    break;
                }
            }
        }
        interner.entries.emplace(object, CandidateValue{print});
        return {};
    }
    if (auto* candidate = std::get_if<CandidateValue>(&found->second)) {
        if (candidate->fingerprint == print) return {LookupAnswer::WriteAndCache, 0, {}};
        candidate->fingerprint = print;
        return {};
    }
    // A cached or published entry holds its object, so the address cannot have been reused; the
    // kind check guards the rest.
    if (auto* cached = std::get_if<CachedEntry>(&found->second)) {
        if (cached->value->kind == kind && cached->value->object.get() == object) {
            return publish(context, interner, object, cached->value, std::nullopt);
        }
    } else {
        const auto& published = std::get<PublishedEntry>(found->second);
        if (published.value->kind == kind && published.value->object.get() == object) {
            return publish(context, interner, object, published.value, published.value_id);
        }
    }
    remove(interner, object);
    interner.entries.emplace(object, CandidateValue{print});
    return {};
}

void ValueInterning::cache_current_value(PyObject* object, InternedKind kind, std::size_t text_length,
                                         std::span<const std::uint8_t> encoded) {
    if (disabled() || text_length > encoded.size()) return;
    ValueInterner& interner = this_thread();
    Borrow borrow(interner);
    const std::uint64_t charge = encoded.size() + text_length;
    if (charge > std::min(THREAD_CACHED_CHARGE_LIMIT, SHARED_CACHED_CHARGE_LIMIT)) return;
    while (interner.cached_charge + charge > THREAD_CACHED_CHARGE_LIMIT) {
        if (!evict_cached_except(interner, object)) return;
    }
    while (!reserve_shared(charge)) {
        if (!evict_cached_except(interner, object)) return;
    }
    remove(interner, object);
    interner.cached_charge += charge;
    auto value = std::make_shared<InternedValue>();
    value->encoded = std::make_shared<const Bytes>(encoded.begin(), encoded.end());
    value->object = py::Ref::take(object);
    value->kind = kind;
    value->header_length = encoded.size() - text_length;
    interner.entries.emplace(object, CachedEntry{std::move(value)});
}

std::vector<PublishedValue> ValueInterning::snapshot_ids(std::span<const std::uint32_t> value_ids) {
    auto table = table_.lock();
    std::vector<PublishedValue> out;
    for (std::uint32_t value_id : value_ids) {
        if (value_id < table->values.size()) out.push_back({value_id, table->values[value_id]->encoded});
    }
    return out;
}

}  // namespace quib::storage
