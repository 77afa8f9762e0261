// Filling a module with listed attributes, and the submodules the extension
// creates beside its fixed top level (hecrypt.packed, hecrypt.keyholder):
// each with its own functions and __all__, set on its parent outside the
// parent's __all__ and importable by its dotted name.
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

struct Submodule {
    const char* name;  // the attribute: "keyholder" for hecrypt.keyholder
    const char* doc;
    std::span<PyMethodDef> functions;  // in the order of the submodule's __all__
};

// Creates the submodule and sets it as an attribute of `parent`, outside the
// parent's __all__, which stays as it was.
void add_submodule(PyObject* parent, const Submodule& submodule);

// Puts the parent's submodule `name` into sys.modules under its dotted name,
// unless it is there: for `import hecrypt.keyholder`, also after a caller
// removed the entries and imported again (which hands out the same module).
void register_submodule(PyObject* parent, const char* name);

}  // namespace hecrypt::python
