#include "frames/call_frames.hpp"

#include "frames/line_numbers.hpp"
#include "module/thread_hooks.hpp"
#include "py/conversions.hpp"

namespace quib::frames {

using py::PyError;
using py::Ref;
using py::Result;

namespace {

py::Status call_site_of(const CallFrameEntry& entry, LineCache& lines, std::optional<CallSite>& site) {
    if (!PyFrame_Check(entry.frame.get())) return py::conversion_error(entry.frame.get(), "PyFrame");
    auto line = frame_line_number_i32_with(entry.frame.as<PyFrameObject>(), &lines);
    if (!line) return std::move(line).error();
    site.emplace();
    site->call_frame_id = entry.id;
    site->line = line.value();
    return py::Status();
}

}  // namespace

py::Status CallFrames::get_user_code_call_site(PyObject* frame, EventKind event, const FrameId& id,
                                               std::optional<CallSite>& site, std::shared_ptr<const CodeLines> code) {
    const CallFrameEntry* caller = nullptr;
    std::size_t count = entries_.size();
    if (count > 0) {
        if (entries_[count - 1].id != id) {
            caller = &entries_[count - 1];
        } else if (count > 1 && entries_[count - 2].id != id) {
            caller = &entries_[count - 2];
        }
    }
    site.reset();
    if (caller != nullptr) {
        const CallFrameEntry& own = entries_[count - 1];
        if (is_closing(event) && caller != &own && own.site && own.site->call_frame_id == caller->id) {
            site = own.site;
        } else {
            py::Status found = call_site_of(*caller, lines_, site);
            if (!found) return found;
        }
    }
    if (is_closing(event)) {
        for (std::size_t i = entries_.size(); i > 0; --i) {
            if (entries_[i - 1].id == id) {
                pop_from(i - 1);
                break;
            }
        }
    } else {
        entries_.push_back(CallFrameEntry{Ref::take(frame), id, std::move(code), site});
    }
    return py::Status();
}

Result<Ref> CallFrames::snapshot_call_site_frames() const {
    std::size_t count = entries_.size();
    std::size_t first = count > 2 ? count - 2 : 0;
    Result<Ref> list = py::checked(PyList_New(0));
    if (!list) return list;
    for (std::size_t i = first; i < count; ++i) {
        const CallFrameEntry& entry = entries_[i];
        std::string_view id = entry.id.view();
        Result<Ref> pair = py::checked(
            Py_BuildValue("(Os#)", entry.frame.get(), id.data(), static_cast<Py_ssize_t>(id.size())));
        if (!pair) return pair;
        if (PyList_Append(list->get(), pair->get()) < 0) return PyError::fetch();
    }
    return list;
}

void CallFrames::truncate_at(const FrameId& id) {
    for (std::size_t i = entries_.size(); i > 0; --i) {
        if (entries_[i - 1].id == id) {
            pop_from(i - 1);
            return;
        }
    }
}

void CallFrames::clear() { pop_from(0); }

void CallFrames::pop_from(std::size_t from) {
    hooks::Suspension suspension;
    while (entries_.size() > from) {
        // Out of the stack first, so that code run by the frame's release sees a consistent stack.
        CallFrameEntry entry = std::move(entries_.back());
        entries_.pop_back();
    }
}

}  // namespace quib::frames
