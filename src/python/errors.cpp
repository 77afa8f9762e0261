#include "errors.hpp"

#include <cstdio>
#include <cstdlib>

namespace hecrypt::python {

namespace {

constexpr const char* PANIC_NAME = "pyo3_runtime.PanicException";
constexpr const char* PANIC_DOC =
    "The exception raised when native code called from Python fails one of its own "
    "internal checks.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that a "
    "generic `except Exception` does not swallow it: it normally propagates all the way up "
    "and ends the interpreter.";
constexpr const char* GENERIC_FAULT = "a fault without a description occurred in native code";

PyObject* panic_type_object = nullptr;

}  // namespace

void fail() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    throw PythonError{};
}

void fail_with(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError{};
}

Ref checked(PyObject* object) {
    if (object == nullptr) fail();
    return Ref(object);
}

Ref take_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return Ref(value);
#endif
}

void restore_error(Ref error) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* value = error.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                  PyException_GetTraceback(value));
#endif
}

void print_error(Ref error) {
    restore_error(std::move(error));
    PyErr_PrintEx(0);
}

PyObject* panic_type() {
    if (panic_type_object == nullptr) {
        panic_type_object =
            PyErr_NewExceptionWithDoc(PANIC_NAME, PANIC_DOC, PyExc_BaseException, nullptr);
    }
    return panic_type_object;
}

bool is_panic(PyObject* error) {
    return panic_type_object != nullptr &&
           PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(panic_type_object));
}

void raise_panic(const char* text) {
    PyObject* type = panic_type();
    if (type == nullptr) return;  // the error of creating the type stays pending
    PyErr_SetString(type, text != nullptr ? text : GENERIC_FAULT);
}

// The module's own allocations never get here: its operator new reports the
// size and aborts. What remains is a std::bad_alloc thrown inside the C++
// runtime by its own allocations, which carries no size to report.
void out_of_memory() {
    std::fputs("memory allocation failed inside the C++ runtime (std::bad_alloc carries no size)\n",
               stderr);
    std::abort();
}

}  // namespace hecrypt::python
