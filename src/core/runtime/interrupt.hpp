// Stopping a call part-way: the caller's way of saying "enough" (Ctrl-C in
// Python) reaches long computations at checkpoints.
//
// The thread that starts a call installs an InterruptScope with a source it
// can ask. The core calls checkpoint() between units of work that take at
// most a few milliseconds; on the calling thread that asks the source (at most
// once per POLL_INTERVAL), on a pool worker it looks at the stage the worker
// is running. A stop unwinds with Interrupted, and nothing of the call's work
// survives it.
#pragma once

#include <chrono>
#include <cstdint>

namespace hecrypt {

// Not an std::exception: it is no fault, and handlers of faults must not take
// it for one.
struct Interrupted {};

// How long a pending stop may wait before the caller is asked.
constexpr std::chrono::milliseconds POLL_INTERVAL{50};

class InterruptSource {
  public:
    virtual ~InterruptSource() = default;
    // Asked on the thread that installed it; true stops the call.
    virtual bool stop_requested() = 0;
};

// What checkpoint() consults on the current thread.
class Checkpoint {
  public:
    virtual ~Checkpoint() = default;
    virtual bool stop_requested() = 0;
};

// The checkpoint of the current thread, or null when nobody can stop it.
Checkpoint* current_checkpoint();

// Makes `checkpoint` the current thread's for its lifetime; the previous one
// comes back afterwards.
class CheckpointScope {
  public:
    explicit CheckpointScope(Checkpoint& checkpoint);
    ~CheckpointScope();
    CheckpointScope(const CheckpointScope&) = delete;
    CheckpointScope& operator=(const CheckpointScope&) = delete;

  private:
    Checkpoint* previous_;
};

// The calling thread's checkpoint: asks `source` at most once per
// POLL_INTERVAL, starting one interval after the call began, so short calls
// never ask at all. Once the source has said stop, it keeps saying so.
class InterruptScope final : public Checkpoint {
  public:
    explicit InterruptScope(InterruptSource& source);
    bool stop_requested() override;
    // Whether a stop was requested, without asking again.
    bool stopped() const { return stopped_; }

  private:
    InterruptSource& source_;
    std::int64_t next_poll_ns_;
    bool stopped_ = false;
    CheckpointScope installed_;
};

// Whether the current thread's work should stop.
inline bool stop_requested() {
    Checkpoint* checkpoint = current_checkpoint();
    return checkpoint != nullptr && checkpoint->stop_requested();
}

// Throws Interrupted when the current thread's work should stop.
inline void checkpoint() {
    if (stop_requested()) throw Interrupted{};
}

}  // namespace hecrypt
