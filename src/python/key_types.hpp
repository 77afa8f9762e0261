// The two key classes: heap types whose instances own one key record each.
#pragma once

#include <Python.h>

#include "core/keys/keys.hpp"
#include "errors.hpp"

namespace hecrypt::python {

// The type objects, created on first use. NULL, with the error of
// PyType_FromSpec pending, when the type cannot be created.
PyTypeObject* public_key_type();
PyTypeObject* secret_key_type();

// New instances owning `record`. Faults when the type cannot be created;
// fails with the pending MemoryError when the object cannot be allocated.
Ref new_public_key(PublicKeyRecord&& record);
Ref new_secret_key(SecretKeyRecord&& record);

// The record of an instance of the class (or of a subtype); null for any
// other object.
const PublicKeyRecord* public_key_of(PyObject* object);
const SecretKeyRecord* secret_key_of(PyObject* object);

}  // namespace hecrypt::python
