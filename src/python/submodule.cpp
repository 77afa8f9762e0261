#include "submodule.hpp"

#include <string>

#include "errors.hpp"

namespace hecrypt::python {

namespace {

std::string dotted_name(PyObject* parent, const char* name) {
    const char* parent_name = PyModule_GetName(parent);
    if (parent_name == nullptr) fail();
    return std::string(parent_name) + "." + name;
}

// Each function is bound to the submodule, so its __module__ names it.
void add_functions(PyObject* submodule, std::span<PyMethodDef> functions) {
    Ref module_name = checked(PyModule_GetNameObject(submodule));
    Ref all = checked(PyList_New(0));
    for (PyMethodDef& def : functions) {
        Ref function = checked(PyCMethod_New(&def, submodule, module_name.get(), nullptr));
        Ref name = checked(PyUnicode_FromString(def.ml_name));
        if (PyList_Append(all.get(), name.get()) < 0) fail();
        if (PyObject_SetAttr(submodule, name.get(), function.get()) < 0) fail();
    }
    if (PyObject_SetAttrString(submodule, "__all__", all.get()) < 0) fail();
}

}  // namespace

void add_submodule(PyObject* parent, const Submodule& submodule) {
    Ref created = checked(PyModule_New(dotted_name(parent, submodule.name).c_str()));
    if (PyModule_SetDocString(created.get(), submodule.doc) < 0) fail();
    add_functions(created.get(), submodule.functions);
    if (PyObject_SetAttrString(parent, submodule.name, created.get()) < 0) fail();
    register_submodule(parent, submodule.name);
}

void register_submodule(PyObject* parent, const char* name) {
    Ref submodule = checked(PyObject_GetAttrString(parent, name));
    Ref dotted = checked(PyUnicode_FromString(dotted_name(parent, name).c_str()));
    // Borrowed, and an entry a caller put there on purpose is left alone.
    if (PyDict_SetDefault(PyImport_GetModuleDict(), dotted.get(), submodule.get()) == nullptr)
        fail();
}

}  // namespace hecrypt::python
