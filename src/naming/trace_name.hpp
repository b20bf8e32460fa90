// Naming a trace from its records: the test it ran ("AuthTests.test_login") or the request it
// served ("GET /items/ 200"), read from the plug-in records among the first three and last three
// records of one thread's store. At most six records are decoded, whatever the trace's size.
#pragma once

#include "naming/msgpack_reader.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quib::naming {

// 0, 1, 2 and n-3 .. n-1, ascending, without duplicates, all below n.
std::vector<std::uint64_t> relevant_frame_indices(std::uint64_t n);

// Text of a MessagePack string that is valid UTF-8, or of a string with lone surrogates (extension
// 10), whose surrogates read as \uXXXX escapes; nothing for any other value.
std::optional<std::string> name_text(const MsgValue& value);
// name_text of the first entry of `map` under the string key `key`.
std::optional<std::string> map_string(const MsgValue& map, std::string_view key);
// Decimal text of a MessagePack integer.
std::optional<std::string> integer_text(const MsgValue& value);

// Reads record `index` of a store; nothing when it cannot be read.
using RecordReader = std::function<std::optional<std::span<const std::uint8_t>>(std::uint64_t index)>;

// The name the records give (test first, then request and response), or nothing.
std::optional<std::string> name_from_records(std::uint64_t record_count, const RecordReader& read);

}  // namespace quib::naming
