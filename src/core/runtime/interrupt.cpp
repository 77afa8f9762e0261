#include "interrupt.hpp"

#include <time.h>

namespace hecrypt {

namespace {

thread_local Checkpoint* current = nullptr;

// The coarse clock costs a few nanoseconds; its resolution of a few
// milliseconds is plenty for polling every 50.
std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

constexpr std::int64_t POLL_NS = std::chrono::nanoseconds(POLL_INTERVAL).count();

}  // namespace

Checkpoint* current_checkpoint() { return current; }

CheckpointScope::CheckpointScope(Checkpoint& checkpoint) : previous_(current) {
    current = &checkpoint;
}

CheckpointScope::~CheckpointScope() { current = previous_; }

InterruptScope::InterruptScope(InterruptSource& source)
    : source_(source), next_poll_ns_(now_ns() + POLL_NS), installed_(*this) {}

bool InterruptScope::stop_requested() {
    if (stopped_) return true;
    const std::int64_t now = now_ns();
    if (now < next_poll_ns_) return false;
    stopped_ = source_.stop_requested();
    next_poll_ns_ = now_ns() + POLL_NS;
    return stopped_;
}

}  // namespace hecrypt
