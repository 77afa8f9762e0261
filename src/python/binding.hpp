// Binding a vectorcall (positional arguments, then keyword names with their
// values) to the declared parameters of one entry point.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

namespace hecrypt::python {

struct Signature {
    const char* name;
    const char* class_name;  // null for module functions
    std::vector<const char*> params;
    std::size_t required;  // the first `required` parameters have no default

    // "add_many()" or "PublicKey.from_n()": how call-shape messages start.
    std::string full_name() const;
};

// One borrowed object per parameter, null where an optional one was not given.
using Slots = std::vector<PyObject*>;

// Raises the call-shape TypeError (and throws PythonError) when the call
// does not fit the signature.
Slots bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace hecrypt::python
