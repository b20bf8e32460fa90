#include "values/shared_containers.hpp"

#include "values/ext_types.hpp"
#include "values/msgpack_writer.hpp"

#include <algorithm>
#include <bit>
#include <unordered_map>

namespace quib::values {

const std::uint64_t* AddressIndex::find(PyObject* key) const noexcept {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = slot_of(key);; at = (at + 1) & mask) {
        const Slot& slot = slots_[at];
        if (slot.key == key) return &slot.value;
        if (slot.key == nullptr) return nullptr;
    }
}

void AddressIndex::insert_or_assign(PyObject* key, std::uint64_t value) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = slot_of(key);; at = (at + 1) & mask) {
        Slot& slot = slots_[at];
        if (slot.key == key) {
            slot.value = value;
            return;
        }
        if (slot.key == nullptr) {
            slot = {key, value};
            ++used_;
            return;
        }
    }
}

void AddressIndex::grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t size = old.empty() ? 1024 : old.size() * 2;
    slots_.assign(size, Slot{});
    shift_ = static_cast<unsigned>(64 - std::countr_zero(size));
    used_ = 0;
    for (const Slot& slot : old) {
        if (slot.key != nullptr) insert_or_assign(slot.key, slot.value);
    }
}

bool SharedContainers::write_reference(PyObject* container, ByteBuffer& out) const {
    const std::uint64_t* ordinal = index_.find(container);
    if (ordinal == nullptr) return false;
    const std::uint64_t distance = completed_ - 1 - *ordinal;
    if (distance > MAX_DISTANCE) return false;
    msgpack::write_fixext4(out, ext::SHARED, static_cast<std::uint32_t>(distance));
    return true;
}

void SharedContainers::record_completed(PyObject* container, bool eligible) {
    const std::uint64_t ordinal = completed_++;
    if (!eligible || kept_.size() >= MAX_REMEMBERED) return;
    kept_.push_back(py::Ref::take(container));
    index_.insert_or_assign(container, ordinal);
}

namespace {

bool is_plain(PyObject* object) noexcept { return PyList_CheckExact(object) || PyDict_CheckExact(object); }

// A borrowed-pointer stack with inline room for 32 entries.
class PointerStack {
public:
    void push(PyObject* object) {
        if (size_ < INLINE) {
            inline_[size_] = object;
        } else {
            heap_.push_back(object);
        }
        ++size_;
    }
    PyObject* pop() noexcept {
        --size_;
        if (size_ < INLINE) return inline_[size_];
        PyObject* top = heap_.back();
        heap_.pop_back();
        return top;
    }
    std::size_t size() const noexcept { return size_; }

private:
    static constexpr std::size_t INLINE = 32;
    PyObject* inline_[INLINE] = {};
    std::vector<PyObject*> heap_;
    std::size_t size_ = 0;
};

// Limits up to this are answered by walking every occurrence, which takes at most `limit` steps
// per container scanned. Above it the count is computed per distinct container instead, so a
// self-containing value or a deep chain of shared lists cannot keep the walk going for ever.
constexpr std::uint64_t WALK_LIMIT = std::uint64_t{1} << 20;

std::uint64_t walk_count(PyObject* value, std::uint64_t limit) {
    PointerStack pending;
    pending.push(value);
    std::uint64_t count = 0;
    while (pending.size() != 0) {
        PyObject* container = pending.pop();
        ++count;
        if (count + pending.size() >= limit) return limit;
        if (PyList_CheckExact(container)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(container); ++i) {
                PyObject* item = PyList_GET_ITEM(container, i);
                if (!is_plain(item)) continue;
                pending.push(item);
                if (count + pending.size() >= limit) return limit;
            }
        } else {
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            PyObject* item = nullptr;
            while (PyDict_Next(container, &position, &key, &item)) {
                if (!is_plain(item)) continue;
                pending.push(item);
                if (count + pending.size() >= limit) return limit;
            }
        }
    }
    return count;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t sum = a + b;
    return sum < a ? ~std::uint64_t{0} : sum;
}

// Occurrences counted per distinct container: count(c) = 1 + the counts of its children.
std::uint64_t exact_count(PyObject* value, std::uint64_t limit) {
    struct Frame {
        PyObject* container;
        Py_ssize_t position;
        std::uint64_t total;
    };
    constexpr std::uint64_t IN_PROGRESS = ~std::uint64_t{0};
    std::unordered_map<PyObject*, std::uint64_t> counted;
    std::vector<Frame> path;
    path.push_back({value, 0, 1});
    counted[value] = IN_PROGRESS;
    while (true) {
        Frame& frame = path.back();
        PyObject* child = nullptr;
        if (PyList_CheckExact(frame.container)) {
            while (frame.position < PyList_GET_SIZE(frame.container)) {
                PyObject* item = PyList_GET_ITEM(frame.container, frame.position++);
                if (is_plain(item)) {
                    child = item;
                    break;
                }
            }
        } else {
            PyObject* key = nullptr;
            PyObject* item = nullptr;
            while (PyDict_Next(frame.container, &frame.position, &key, &item)) {
                if (is_plain(item)) {
                    child = item;
                    break;
                }
            }
        }
        if (child != nullptr) {
            auto [entry, fresh] = counted.try_emplace(child, IN_PROGRESS);
            if (fresh) {
                path.push_back({child, 0, 1});
                continue;
            }
            if (entry->second == IN_PROGRESS) return limit;  // contains itself: no end to the count
            frame.total = std::min(limit, saturating_add(frame.total, entry->second));
            if (frame.total >= limit) return limit;
            continue;
        }
        const std::uint64_t total = frame.total;
        counted[frame.container] = total;
        path.pop_back();
        if (path.empty()) return total;
        path.back().total = std::min(limit, saturating_add(path.back().total, total));
        if (path.back().total >= limit) return limit;
    }
}

}  // namespace

std::uint64_t count_plain_containers(PyObject* value, std::uint64_t limit) {
    if (!is_plain(value)) return 0;
    limit = std::max<std::uint64_t>(limit, 1);
    if (limit <= WALK_LIMIT) return walk_count(value, limit);
    return exact_count(value, limit);
}

}  // namespace quib::values
