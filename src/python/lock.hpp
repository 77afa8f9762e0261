// Running core work with the interpreter lock released.
//
// This is the only place that lets go of the lock. The guard takes it back
// on every way out, a thrown fault included, so the frame always raises with
// the lock held. Work run here must not touch a Python object.
#pragma once

#include <Python.h>

#include <functional>
#include <utility>

#include "core/keys.hpp"

namespace hecrypt::python {

class LockReleased {
  public:
    LockReleased() : state_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(state_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

  private:
    PyThreadState* state_;
};

template <class Work>
decltype(auto) without_lock(Work&& work) {
    LockReleased released;
    return std::forward<Work>(work)();
}

// Lets key generation and key assembly release the lock for their long
// stretches while keeping their short checks under it.
class ReleasingUnlocker final : public Unlocker {
  public:
    void without_lock(const std::function<void()>& work) const override {
        python::without_lock(work);
    }
};

}  // namespace hecrypt::python
