// Building the Python result of an operation, or raising its refusal.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "core/keys/keys.hpp"
#include "core/support/bigint.hpp"
#include "core/support/outcome.hpp"
#include "errors.hpp"

namespace hecrypt::python {

// `object`, owned. A NULL from CPython here is a fault of ours, not of the
// caller's input: CPython's error is printed and the call ends in a
// PanicException "Python API call failed".
Ref built(PyObject* object);

Ref to_object(const Bytes& bytes);                     // bytes
Ref to_object(const std::string& text);                // str
Ref to_object(const std::vector<Bytes>& blobs);        // list of bytes
Ref to_object(const std::vector<std::string>& texts);  // list of str
Ref to_object(const std::vector<double>& values);      // list of float
Ref to_object(double value);                           // float
Ref to_object(PublicKeyRecord&& record);               // PublicKey
Ref to_object(KeyPair&& pair);                         // (PublicKey, SecretKey)

// The value as its Python object, or the refusal raised as ValueError with
// exactly its text.
template <class T>
PyObject* to_python(Outcome<T>&& outcome) {
    if (!outcome.ok()) fail_with(PyExc_ValueError, outcome.refusal());
    return to_object(std::move(outcome.value())).release();
}

}  // namespace hecrypt::python
