#include "frames/record_pairs.hpp"

#include "py/error.hpp"

#include <charconv>

namespace quib::frames {

void write_frame_path_pair(values::ByteBuffer& out, std::string_view path, std::optional<std::uint64_t> line) {
    char digits[24];
    std::string_view suffix = "None";
    if (line) {
        auto written = std::to_chars(digits, digits + sizeof digits, *line);
        suffix = std::string_view(digits, static_cast<std::size_t>(written.ptr - digits));
    }
    std::uint64_t length = static_cast<std::uint64_t>(path.size()) + 1 + suffix.size();
    if (length > values::msgpack::MAX_LENGTH) throw py::InternalFailure("frame path length should fit in u32");
    write_key(out, "path");
    values::msgpack::write_str_header(out, static_cast<std::size_t>(length));
    out.reserve_more(static_cast<std::size_t>(length));
    out.append(path);
    out.push(':');
    out.append(suffix);
}

void write_frame_qualname_pair(values::ByteBuffer& out, std::string_view module, std::string_view qualname) {
    std::uint64_t length = static_cast<std::uint64_t>(module.size()) + 1 + qualname.size();
    if (length > values::msgpack::MAX_LENGTH) throw py::InternalFailure("frame qualname length should fit in u32");
    write_key(out, "qualname");
    values::msgpack::write_str_header(out, static_cast<std::size_t>(length));
    out.reserve_more(static_cast<std::size_t>(length));
    out.append(module);
    out.push('.');
    out.append(qualname);
}

void write_user_code_call_site(values::ByteBuffer& out, const std::optional<CallSite>& site) {
    write_key(out, "user_code_call_site");
    if (!site) {
        values::msgpack::write_nil(out);
        return;
    }
    out.push(0x82);
    write_key(out, "call_frame_id");
    write_str(out, site->call_frame_id.view());
    write_key(out, "line_number");
    if (site->line) {
        values::msgpack::write_int(out, *site->line);
    } else {
        values::msgpack::write_nil(out);
    }
}

}  // namespace quib::frames
