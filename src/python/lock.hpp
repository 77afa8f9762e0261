// Running core work with the interpreter lock released.
//
// This is the only place that lets go of the lock. The guard takes it back
// on every way out, a thrown fault included, so the frame always raises with
// the lock held. Work run here must not touch a Python object; the one
// exception is the signal check, which takes the lock back first.
#pragma once

#include <Python.h>

#include <functional>
#include <utility>

#include "core/keys/keys.hpp"

namespace hecrypt::python {

class LockReleased {
  public:
    LockReleased() : state_(PyEval_SaveThread()), outer_(released) { released = state_; }
    ~LockReleased() {
        released = outer_;
        PyEval_RestoreThread(state_);
    }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

  private:
    friend class LockTaken;
    // The calling thread's state while it runs without the lock, else null.
    static inline thread_local PyThreadState* released = nullptr;

    PyThreadState* state_;
    PyThreadState* outer_;
};

// Holds the lock for its lifetime, taking it back for a moment if the calling
// thread is inside a LockReleased (and letting go again at the end), and
// doing nothing if the thread holds it already.
class LockTaken {
  public:
    LockTaken() : state_(LockReleased::released) {
        if (state_ != nullptr) {
            PyEval_RestoreThread(state_);
            LockReleased::released = nullptr;
        }
    }
    ~LockTaken() {
        if (state_ == nullptr) return;
        PyEval_SaveThread();
        LockReleased::released = state_;
    }
    LockTaken(const LockTaken&) = delete;
    LockTaken& operator=(const LockTaken&) = delete;

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
