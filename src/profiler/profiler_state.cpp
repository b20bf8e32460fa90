#include "profiler/profiler_state.hpp"

namespace quib::profiler {

ProfilerState::ProfilerState()
    : capture(std::make_shared<storage::ValueInterningContext::CaptureSlot>("trace capture mutex poisoned")) {}

ProfilerState::~ProfilerState() = default;

std::shared_ptr<storage::TraceCapture> ProfilerState::current_capture() { return *capture->lock(); }

std::shared_ptr<storage::TraceCapture> ProfilerState::new_capture(const std::string& id) {
    return storage::TraceCapture::for_trace(db_path, id, start_time);
}

}  // namespace quib::profiler
