// The module's entry point: one module per process, owned by the first
// interpreter that imports it, filled once and handed out again afterwards.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "core/support/outcome.hpp"
#include "core/support/secure_memory.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "key_types.hpp"
#include "keyholder.hpp"
#include "packed.hpp"
#include "submodule.hpp"

namespace hecrypt::python {

namespace {

constexpr const char* VERSION = "0.7.0";

// Single-phase initialisation: all state is process-wide, none per module.
PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "hecrypt", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Not in __all__: the top level is fixed, and new capabilities live here.
Submodule (*const submodules[])() = {packed_submodule, keyholder_submodule};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* cached_module = nullptr;

// Types, the pool and the random generators are process-wide and shared by
// reference with no locking of their own, which only one interpreter may do.
void claim_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) fail();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        fail_with(PyExc_ImportError,
                  "hecrypt does not yet support sub-interpreters: it can be imported only by "
                  "the first interpreter that imported it in this process");
    }
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) {
        Ref cause = take_error();
        PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
        Ref error = take_error();
        PyException_SetCause(error.get(), cause.release());
        restore_error(std::move(error));
        throw PythonError{};
    }
    add(module, name, reinterpret_cast<PyObject*>(type));
}

Ref create_module() {
    Ref module = checked(PyModule_Create2(&definition, PYTHON_API_VERSION));
    add(module.get(), "__version__", checked(PyUnicode_FromString(VERSION)).get());
    add_class(module.get(), "PublicKey", public_key_type());
    add_class(module.get(), "SecretKey", secret_key_type());
    Ref module_name = checked(PyModule_GetNameObject(module.get()));
    for (PyMethodDef& def : module_functions()) add_function(module.get(), module_name.get(), def);
    for (auto submodule : submodules) add_submodule(module.get(), submodule());
    return module;
}

}  // namespace

}  // namespace hecrypt::python

PyMODINIT_FUNC PyInit_hecrypt() {
    using namespace hecrypt::python;
    return guarded([] {
        claim_interpreter();
        // Before any key exists: every block GMP releases from now on is zeroed.
        hecrypt::install_gmp_wiping();
        if (cached_module == nullptr) cached_module = create_module().release();
        for (auto submodule : submodules) register_submodule(cached_module, submodule().name);
        return Py_NewRef(cached_module);
    });
}
