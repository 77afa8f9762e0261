// Owned references and the ways a call into the module ends in an exception.
//
// Inside the binding a Python exception travels as C++ control flow: whoever
// sets the interpreter's error throws PythonError, and the outermost frame
// (guarded) returns NULL. Faults of the core arrive as C++ exceptions and
// become PanicException there.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <utility>

namespace hecrypt::python {

// An owned (strong) reference; released with the interpreter lock held.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject* owned) : object_(owned) {}
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    static Ref borrowed(PyObject* object) { return Ref(Py_XNewRef(object)); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    PyObject* object_ = nullptr;
};

// The interpreter's error indicator is set; unwind to the entry point.
struct PythonError {};

// Throws PythonError; a CPython call that failed without setting an error
// gets the SystemError CPython itself uses for that case.
[[noreturn]] void fail();

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void fail_with(PyObject* type, const std::string& message);

// `object`, owned, or fail() when a CPython call returned NULL.
Ref checked(PyObject* object);

// The pending exception as one normalised object (NULL if none), cleared.
Ref take_error();
// Makes `error` the pending exception again.
void restore_error(Ref error);

// Writes `error` and its traceback to sys.stderr.
void print_error(Ref error);

// The PanicException type, created on first use; NULL with an error set if
// it cannot be created.
PyObject* panic_type();

// Whether `error` is a PanicException (false while the type does not exist:
// then nothing can have raised one).
bool is_panic(PyObject* error);

// Sets a new PanicException carrying `text` (a generic text when null).
void raise_panic(const char* text);

// Out of memory cannot become a plausible result: report it and end the process.
[[noreturn]] void out_of_memory();

// Runs `work` (which returns a new reference) and turns whatever it throws
// into the pending Python exception. Nothing escapes into CPython.
template <class Work>
PyObject* guarded(Work&& work) noexcept {
    try {
        return std::forward<Work>(work)();
    } catch (const PythonError&) {
    } catch (const std::bad_array_new_length& fault) {
        raise_panic(fault.what());  // a size that overflowed: a fault, not exhaustion
    } catch (const std::bad_alloc&) {
        out_of_memory();
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    return nullptr;
}

}  // namespace hecrypt::python
