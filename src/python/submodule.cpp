#include "submodule.hpp"

#include <string>

#include "core/support/outcome.hpp"

namespace hecrypt::python {

namespace {

std::string dotted_name(PyObject* parent, const char* name) {
    const char* parent_name = PyModule_GetName(parent);
    if (parent_name == nullptr) fail();
    return std::string(parent_name) + "." + name;
}

}  // namespace

void add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) fail();
    }
    if (PyList_Append(all.get(), name) < 0) {
        throw InternalFault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, value) < 0) fail();
}

void add(PyObject* module, const char* name, PyObject* value) {
    add(module, checked(PyUnicode_FromString(name)).get(), value);
}

// Bound to the module, so that the function's __module__ names it.
void add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
    Ref function = checked(PyCMethod_New(&def, module, module_name, nullptr));
    Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) {
        fail_with(PyExc_TypeError, "the __name__ of a built-in function is not a str");
    }
    add(module, name.get(), function.get());
}

void add_submodule(PyObject* parent, const Submodule& submodule) {
    Ref created = checked(PyModule_New(dotted_name(parent, submodule.name).c_str()));
    if (PyModule_SetDocString(created.get(), submodule.doc) < 0) fail();
    Ref module_name = checked(PyModule_GetNameObject(created.get()));
    for (PyMethodDef& def : submodule.functions) {
        add_function(created.get(), module_name.get(), def);
    }
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
