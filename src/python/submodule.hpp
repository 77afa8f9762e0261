// Submodules of hecrypt: capabilities beyond the fixed top level live in
// namespaces the extension creates itself (hecrypt.keyholder, ...), each with
// its own functions and __all__, reached as an attribute of the module and
// importable by their dotted name.
#pragma once

#include <Python.h>

#include <span>

namespace hecrypt::python {

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
