#include "submodule.hpp"

#include "core/support/outcome.hpp"

namespace hecrypt::python {

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

void add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
    Ref function = checked(PyCMethod_New(&def, module, module_name, nullptr));
    Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) {
        fail_with(PyExc_TypeError, "the __name__ of a built-in function is not a str");
    }
    add(module, name.get(), function.get());
}

void add_submodule(PyObject* parent, const char* child, PyModuleDef& definition,
                   std::span<PyMethodDef> functions) {
    Ref module = checked(PyModule_Create2(&definition, PYTHON_API_VERSION));
    Ref name = checked(PyModule_GetNameObject(module.get()));
    for (PyMethodDef& def : functions) add_function(module.get(), name.get(), def);
    if (PyDict_SetItem(PyImport_GetModuleDict(), name.get(), module.get()) < 0) fail();
    if (PyObject_SetAttrString(parent, child, module.get()) < 0) fail();
}

}  // namespace hecrypt::python
