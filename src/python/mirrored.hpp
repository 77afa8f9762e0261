// The entries that hecrypt.packed shares with the top level: the same name,
// parameters and call-shape messages, over another core operation.
#pragma once

#include "frame.hpp"

namespace hecrypt::python {

template <auto Operation>
PyObject* add_many_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"add_many", nullptr, {"pk", "blobs"}, 2};
    return key_and_blobs<&Arguments::public_key, Operation>(sig, args, nargs, kwnames);
}

template <auto Operation>
PyObject* add_blocks_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"add_blocks", nullptr, {"pk", "blobs", "blocks"}, 3};
    return key_and_blobs<&Arguments::public_key, Operation, &Arguments::index_lists>(
        sig, args, nargs, kwnames);
}

template <auto Operation>
PyObject* rerandomize_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"rerandomize", nullptr, {"pk", "blobs"}, 2};
    return key_and_blobs<&Arguments::public_key, Operation>(sig, args, nargs, kwnames);
}

}  // namespace hecrypt::python
