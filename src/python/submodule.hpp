// Filling a module with listed attributes, and the submodules the extension
// creates beside its fixed top level (hecrypt.packed): each registered in
// sys.modules under its full name and set on its parent, so that both
// `import hecrypt.packed` and `from hecrypt import packed` find it, while
// the parent's __all__ stays as it is.
#pragma once

#include <Python.h>

#include <span>

#include "errors.hpp"

namespace hecrypt::python {

// Sets the attribute and lists it in the module's __all__, creating __all__
// when missing.
void add(PyObject* module, PyObject* name, PyObject* value);
void add(PyObject* module, const char* name, PyObject* value);

// A built-in function bound to the module, added under its own __name__.
void add_function(PyObject* module, PyObject* module_name, PyMethodDef& def);

// Creates the module of `definition` (named "parent.child") with
// `functions`, registers it and sets it on `parent` as `child`.
void add_submodule(PyObject* parent, const char* child, PyModuleDef& definition,
                   std::span<PyMethodDef> functions);

}  // namespace hecrypt::python
