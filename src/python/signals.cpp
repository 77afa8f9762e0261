#include "signals.hpp"

#include "lock.hpp"

// Exported by every CPython this module builds for; 3.13 declares it only
// in its internal headers.
extern "C" int _PyOS_IsMainThread(void);

namespace hecrypt::python {

bool PendingSignals::stop_requested() {
    const LockTaken taken;
    if (PyErr_CheckSignals() == 0) return false;
    error_ = take_error();
    return true;
}

bool PendingSignals::raise() {
    if (!error_) return false;
    restore_error(std::move(error_));
    return true;
}

SignalWatch::SignalWatch() {
    if (_PyOS_IsMainThread()) scope_.emplace(signals_);
}

}  // namespace hecrypt::python
