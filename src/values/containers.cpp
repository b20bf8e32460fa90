// Exact lists and dicts. The inert prefix is written straight from the container; from the first
// item that may run Python code on, the rest is copied onto the snapshot stack (holding strong
// references) and written from there, so code that changes the container can neither change what
// is written nor free an item still to be written. In careful mode a container met again while it
// is being written becomes a placeholder; and once a value has 1024 plain containers, repeated
// ones become shared references.
#include "values/encoder.hpp"
#include "values/encoder_inline.hpp"

#include "values/ext_types.hpp"
#include "values/msgpack_writer.hpp"

#include <cstring>

namespace quib::values {

namespace {

// Whether a container reached while tracking could be met again in the same value. Tracked
// containers are reached from the snapshot stack (or are the value itself), which holds one
// reference; with only one more (its place in the parent) nothing else can lead to it, and it
// cannot have been remembered either (the tracker keeps a reference to what it remembers).
// Skipping the index for those keeps unique containers, the common case, off the hash table.
bool may_repeat(PyObject* container) noexcept { return Py_REFCNT(container) > 2; }

}  // namespace

bool NativeMsgpackEncoder::pack_container(PyObject* container, ByteBuffer& out, int depth) {
    if (extension_depth_ == 0 && dict_copy_depth_ == 0) {
        if (!shared_) {
            if (++plain_containers_ >= TRACKING_START) start_shared_tracking();
        } else if (may_repeat(container) && shared_->write_reference(container, out)) {
            return true;
        }
    }
    const bool is_list = PyList_CheckExact(container);
    const auto count = static_cast<std::size_t>(is_list ? PyList_GET_SIZE(container) : PyDict_GET_SIZE(container));
    if (!check_budget(out, is_list ? count : 2 * count)) return false;
    const std::uint64_t placeholders_before = placeholders_;
    bool written = false;
    if (careful_) {
        if (in_progress_.contains(container)) return write_placeholder(is_list ? "[...]" : "{...}", out);
        in_progress_.push(container);
        written = is_list ? pack_list_items(container, out, depth) : pack_dict_items(container, out, depth);
        in_progress_.pop();
    } else {
        written = is_list ? pack_list_items(container, out, depth) : pack_dict_items(container, out, depth);
    }
    if (!written) return false;
    if (extension_depth_ == 0 && shared_) {
        const bool eligible =
            count > 1 && dict_copy_depth_ == 0 && placeholders_ == placeholders_before && may_repeat(container);
        shared_->record_completed(container, eligible);
    }
    return true;
}

bool NativeMsgpackEncoder::pack_list_items(PyObject* list, ByteBuffer& out, int depth) {
    const Py_ssize_t count = PyList_GET_SIZE(list);
    if (static_cast<std::uint64_t>(count) > msgpack::MAX_LENGTH) return fail_text(PyExc_ValueError, "list is too large");
    msgpack::write_array_header(out, static_cast<std::size_t>(count));
    Py_ssize_t index = 0;
    if (depth - 1 >= 0) {  // below the limit every item fails, from the snapshot
        for (; index < count; ++index) {
            const Inert written = pack_inert(PyList_GET_ITEM(list, index), out);
            if (written == Inert::NotInert) break;
            if (written == Inert::Failed) return false;
            if (((index + 1) & 255) == 0 && !check_budget(out, 0)) return false;
        }
    }
    if (index == count) return true;
    // No Python code has run since the header, so the list still has `count` items.
    SnapshotScope snapshot(snapshot_);
    for (Py_ssize_t i = index; i < count; ++i) snapshot_.push(PyList_GET_ITEM(list, i));
    return pack_snapshot(snapshot.base(), out, depth - 1);
}

bool NativeMsgpackEncoder::pack_dict_items(PyObject* dict, ByteBuffer& out, int depth) {
    const Py_ssize_t count = PyDict_GET_SIZE(dict);
    if (static_cast<std::uint64_t>(count) > msgpack::MAX_LENGTH) return fail_text(PyExc_ValueError, "dict is too large");
    msgpack::write_map_header(out, static_cast<std::size_t>(count));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    enum class Stop : std::uint8_t { Done, BeforeKey, BeforeValue } stop = Stop::Done;
    Py_ssize_t written = 0;
    if (depth - 1 >= 0) {
        while (PyDict_Next(dict, &position, &key, &value)) {
            Inert result = pack_inert(key, out);
            if (result == Inert::Failed) return false;
            if (result == Inert::NotInert) {
                stop = Stop::BeforeKey;
                break;
            }
            result = pack_inert(value, out);
            if (result == Inert::Failed) return false;
            if (result == Inert::NotInert) {
                stop = Stop::BeforeValue;
                break;
            }
            if ((++written & 127) == 0 && !check_budget(out, 0)) return false;
        }
        if (stop == Stop::Done) return true;
    } else if (count == 0) {
        return true;
    } else if (PyDict_Next(dict, &position, &key, &value)) {
        stop = Stop::BeforeKey;
    }
    // No Python code has run since the header: the walk continues over the same items.
    SnapshotScope snapshot(snapshot_);
    if (stop == Stop::BeforeKey) snapshot_.push(key);
    snapshot_.push(value);
    while (PyDict_Next(dict, &position, &key, &value)) {
        snapshot_.push(key);
        snapshot_.push(value);
    }
    return pack_snapshot(snapshot.base(), out, depth - 1);
}

bool NativeMsgpackEncoder::pack_snapshot(std::size_t from, ByteBuffer& out, int depth) {
    const std::size_t end = snapshot_.size();
    for (std::size_t i = from; i < end; ++i) {
        if (!pack(snapshot_.at(i), out, depth)) return false;
        if (((i - from + 1) & 255) == 0 && !check_budget(out, 0)) return false;
    }
    return true;
}

bool NativeMsgpackEncoder::pack_dict_copy_tracked(PyObject* original, PyObject* copy, ByteBuffer& out, int depth) {
    // Near the nesting limit (and always in careful mode) the subclass object itself is tracked, so
    // that one containing itself ends in the recursion error that asks for a careful attempt.
    const bool tracked = careful_ || depth <= 8;
    if (tracked) {
        if (in_progress_.contains(original)) return fail_text(PyExc_ValueError, "recursion limit exceeded.");
        in_progress_.push(original);
    }
    ++dict_copy_depth_;
    const bool written = pack_container(copy, out, depth);
    --dict_copy_depth_;
    if (tracked) in_progress_.pop();
    return written;
}

bool NativeMsgpackEncoder::write_placeholder(const char* text, ByteBuffer& out) {
    ++placeholders_;
    const std::size_t length = std::strlen(text);
    if (!check_budget(out, length)) return false;
    msgpack::write_ext_unchecked(out, ext::TEXT, text, length);
    return true;
}

void NativeMsgpackEncoder::start_shared_tracking() { shared_ = std::make_unique<SharedContainers>(); }

void NativeMsgpackEncoder::release_shared() noexcept {
    shared_.reset();
    plain_containers_ = 0;
}

}  // namespace quib::values
