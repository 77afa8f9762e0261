// Ctrl-C during a long call: the interpreter's signal handlers, run from the
// core's checkpoints.
//
// Python runs signal handlers only on the main thread and only when it gets
// to look, which a call into the core would otherwise put off until the
// whole batch was done. While a call runs, this source takes the interpreter
// lock for a moment at each poll (the core asks at most every 50 ms) and lets
// the handlers run; an exception from a handler (KeyboardInterrupt by
// default) stops the call and is raised when the frame returns.
#pragma once

#include <Python.h>

#include <optional>

#include "core/runtime/interrupt.hpp"
#include "errors.hpp"

namespace hecrypt::python {

class PendingSignals final : public InterruptSource {
  public:
    bool stop_requested() override;
    // Makes the handler's exception the pending one, if there is one. Lock
    // held.
    bool raise();

  private:
    Ref error_;
};

// Answers the core's checkpoints for one call on the main thread; on any
// other thread there are no handlers to run, and nothing is installed.
class SignalWatch {
  public:
    SignalWatch();
    bool raise() { return signals_.raise(); }

  private:
    PendingSignals signals_;
    std::optional<InterruptScope> scope_;
};

}  // namespace hecrypt::python
