#include "storage/trace_name_index.hpp"

#include <algorithm>
#include <limits>

namespace quib::storage {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

void sort_by_frame(std::vector<TraceNameObservation>& observations) {
    std::stable_sort(observations.begin(), observations.end(),
                     [](const auto& a, const auto& b) { return a.frame_index < b.frame_index; });
}

}  // namespace

std::uint64_t TraceNameObservation::text_size() const noexcept {
    struct Size {
        std::uint64_t operator()(const TestObservation& t) const {
            return t.name.size() + (t.test_class ? t.test_class->size() : 0);
        }
        std::uint64_t operator()(const RequestObservation& r) const { return r.method.size() + r.path.size(); }
        std::uint64_t operator()(const ResponseObservation& r) const { return r.status.size(); }
    };
    return std::visit(Size{}, fact);
}

bool TraceNameIndex::add(TraceNameObservation observation) {
    std::uint64_t size = saturating_add(text_size, observation.text_size());
    if (observations.size() >= MAX_OBSERVATIONS || size > MAX_TEXT_BYTES) return false;
    observations.push_back(std::move(observation));
    sort_by_frame(observations);
    text_size = size;
    return true;
}

void TraceNameIndex::recompute_text_size() noexcept {
    text_size = 0;
    for (const auto& observation : observations) text_size = saturating_add(text_size, observation.text_size());
}

void merge_name_index(OptionalNameIndex& into, OptionalNameIndex&& other) {
    OptionalNameIndex taken = std::move(other);
    other.reset();
    if (!into || !taken) {
        into.reset();
        return;
    }
    std::uint64_t size = saturating_add(into->text_size, taken->text_size);
    if (into->observations.size() + taken->observations.size() > TraceNameIndex::MAX_OBSERVATIONS ||
        size > TraceNameIndex::MAX_TEXT_BYTES) {
        into.reset();
        return;
    }
    for (auto& observation : taken->observations) into->observations.push_back(std::move(observation));
    sort_by_frame(into->observations);
    into->text_size = size;
}

void shift_name_index(OptionalNameIndex& index, std::uint64_t from, std::uint64_t delta) noexcept {
    if (!index) return;
    for (auto& observation : index->observations) {
        if (observation.frame_index >= from) observation.frame_index += delta;
    }
}

OptionalNameIndex split_name_index(OptionalNameIndex& index, std::uint64_t lo, std::uint64_t hi) {
    if (!index) return std::nullopt;
    TraceNameIndex range;
    std::vector<TraceNameObservation> kept;
    for (auto& observation : index->observations) {
        if (observation.frame_index >= lo && observation.frame_index < hi) {
            observation.frame_index -= lo;
            range.observations.push_back(std::move(observation));
        } else {
            if (observation.frame_index >= hi) observation.frame_index -= hi - lo;
            kept.push_back(std::move(observation));
        }
    }
    index->observations = std::move(kept);
    index->recompute_text_size();
    range.recompute_text_size();
    return range;
}

}  // namespace quib::storage
