// The entry points of the module's functions and of PublicKey.from_n.
#pragma once

#include <Python.h>

#include <span>

namespace hecrypt::python {

using FastcallEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// CPython stores every entry point as a PyCFunction and calls it by its flags.
template <FastcallEntry Entry>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

// A row of a module's function table: the entry point, called with keywords,
// under `name`.
template <FastcallEntry Entry>
PyMethodDef function(const char* name, const char* doc) {
    return {name, fastcall<Entry>(), FASTCALL, doc};
}

// The module functions, in the order the module registers them.
std::span<PyMethodDef> module_functions();

// PublicKey.from_n(raw), a static method.
PyObject* from_n(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace hecrypt::python
