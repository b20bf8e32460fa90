// What a frame store remembers for naming its trace without reading frames back: the naming
// records (test starts, requests, responses) it holds, each with the store-level index of its
// frame. The store keeps the indexes right when frames move (drain, insert_store) and drops the
// index (std::nullopt: "not reliable, read the frames") when it cannot, or when the index grows
// past its bounds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quib::storage {

struct TestObservation {
    std::string name;
    std::optional<std::string> test_class;
};

struct RequestObservation {
    std::string method;
    std::string path;
};

struct ResponseObservation {
    std::string status;  // decimal text of the status code
};

struct TraceNameObservation {
    std::uint64_t frame_index = 0;
    std::variant<TestObservation, RequestObservation, ResponseObservation> fact;

    std::uint64_t text_size() const noexcept;
};

struct TraceNameIndex {
    static constexpr std::size_t MAX_OBSERVATIONS = 64;
    static constexpr std::uint64_t MAX_TEXT_BYTES = 65536;

    std::vector<TraceNameObservation> observations;  // sorted by frame index
    std::uint64_t text_size = 0;

    // False (and nothing added) when the bounds would be passed.
    bool add(TraceNameObservation observation);
    void recompute_text_size() noexcept;
};

using OptionalNameIndex = std::optional<TraceNameIndex>;

// `into` absorbs `other`; either being absent, or the bounds being passed, leaves `into` absent.
void merge_name_index(OptionalNameIndex& into, OptionalNameIndex&& other);
// Adds `delta` to the frame index of every observation at or above `from`.
void shift_name_index(OptionalNameIndex& index, std::uint64_t from, std::uint64_t delta) noexcept;
// Moves the observations of frames [lo, hi) into the result (re-based to 0); those at or above hi
// move down by hi - lo.
OptionalNameIndex split_name_index(OptionalNameIndex& index, std::uint64_t lo, std::uint64_t hi);

}  // namespace quib::storage
