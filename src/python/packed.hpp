// hecrypt.packed: the operations on packed ciphertexts.
#pragma once

#include <Python.h>

namespace hecrypt::python {

// Creates hecrypt.packed and sets it on the top-level module.
void add_packed(PyObject* parent);

}  // namespace hecrypt::python
