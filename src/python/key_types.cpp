#include "key_types.hpp"

#include <string>
#include <utility>

#include "functions.hpp"
#include "results.hpp"

namespace hecrypt::python {

namespace {

// The record lives on the C++ heap; the object holds the only pointer to it.
template <class Record>
struct KeyObject {
    PyObject_HEAD Record* record;
};

template <class Record>
KeyObject<Record>* as_key(PyObject* object) {
    return reinterpret_cast<KeyObject<Record>*>(object);
}

template <class Record>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_key<Record>(self)->record;  // a secret record wipes itself
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Keys come only from generate_keypair and PublicKey.from_n, never from a
// constructor call that could leave a half-made record behind.
PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    Ref name(PyType_GetName(type));
    if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

const PublicKeyRecord& public_record(PyObject* self) {
    return *as_key<PublicKeyRecord>(self)->record;
}

PyObject* modulus_bytes(PyObject* self, PyObject*) {
    return guarded([self] { return to_object(public_record(self).modulus_bytes()).release(); });
}

PyObject* exponent_bits(PyObject* self, void*) {
    return guarded([self] {
        return built(PyLong_FromUnsignedLongLong(public_record(self).exponent_bits())).release();
    });
}

PyObject* plaintext_bound_bits(PyObject* self, void*) {
    return guarded([self] {
        return built(PyLong_FromUnsignedLong(public_record(self).plaintext_bound_bits())).release();
    });
}

constexpr const char* FROM_N_DOC =
    "from_n(raw)\n--\n\n"
    "Assemble a public key from ONE `n`, deriving `hs` in place.\n\n"
    "`raw` is the modulus as unsigned big-endian bytes, as modulus_bytes() writes it; leading "
    "zero bytes are allowed and count towards the 1024-byte limit. Only what n alone allows is "
    "checked: it must be odd and between 2047 and 8192 bits long. The randomiser base hs is "
    "derived here from fresh randomness instead of being received, so a key assembled this "
    "way never trusts a value it cannot verify. Each call costs one full-length "
    "exponentiation modulo n^2 plus a table build: assemble a peer's key once and keep it.";

constexpr const char* MODULUS_BYTES_DOC =
    "modulus_bytes($self)\n--\n\n"
    "The modulus in bytes — the only thing that travels to a peer.\n\n"
    "n as unsigned big-endian bytes of minimal length, without sign or padding; "
    "PublicKey.from_n accepts it back.";

PyMethodDef public_key_methods[] = {
    {"from_n", fastcall<from_n>(), FASTCALL | METH_STATIC, FROM_N_DOC},
    {"modulus_bytes", modulus_bytes, METH_NOARGS, MODULUS_BYTES_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef public_key_getset[] = {
    {"exponent_bits", exponent_bits, nullptr, "Exponent length in bits.", nullptr},
    {"plaintext_bound_bits", plaintext_bound_bits, nullptr,
     "The largest accepted plaintext in magnitude, in bits: `n/2`", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot public_key_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PublicKeyRecord>)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_methods, public_key_methods},
    {Py_tp_getset, public_key_getset},
    {0, nullptr},
};

PyType_Slot secret_key_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<SecretKeyRecord>)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {0, nullptr},
};

// Default flags only: the classes cannot be subclassed, take no part in
// garbage collection (they reference no Python object) and carry no
// __dict__ or weak references.
PyType_Spec public_key_spec = {"builtins.PublicKey", sizeof(KeyObject<PublicKeyRecord>), 0,
                               Py_TPFLAGS_DEFAULT, public_key_slots};
PyType_Spec secret_key_spec = {"builtins.SecretKey", sizeof(KeyObject<SecretKeyRecord>), 0,
                               Py_TPFLAGS_DEFAULT, secret_key_slots};

struct KeyClass {
    const char* name;
    PyType_Spec* spec;
    PyTypeObject* type;  // created once, kept for the life of the process
};

KeyClass public_key_class{"PublicKey", &public_key_spec, nullptr};
KeyClass secret_key_class{"SecretKey", &secret_key_spec, nullptr};

PyTypeObject* type_of(KeyClass& key_class) {
    if (key_class.type == nullptr) {
        key_class.type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(key_class.spec));
    }
    return key_class.type;
}

template <class Record>
Ref new_key(KeyClass& key_class, Record&& record) {
    PyTypeObject* type = type_of(key_class);
    if (type == nullptr) {
        print_error(take_error());
        throw InternalFault(std::string("failed to create type object for ") + key_class.name);
    }
    Ref object = checked(type->tp_alloc(type, 0));
    as_key<Record>(object.get())->record = new Record(std::move(record));
    return object;
}

template <class Record>
const Record* record_of(KeyClass& key_class, PyObject* object) {
    PyTypeObject* type = type_of(key_class);
    if (type == nullptr) fail();
    return PyObject_TypeCheck(object, type) ? as_key<Record>(object)->record : nullptr;
}

}  // namespace

PyTypeObject* public_key_type() { return type_of(public_key_class); }
PyTypeObject* secret_key_type() { return type_of(secret_key_class); }

Ref new_public_key(PublicKeyRecord&& record) {
    return new_key(public_key_class, std::move(record));
}
Ref new_secret_key(SecretKeyRecord&& record) {
    return new_key(secret_key_class, std::move(record));
}

const PublicKeyRecord* public_key_of(PyObject* object) {
    return record_of<PublicKeyRecord>(public_key_class, object);
}
const SecretKeyRecord* secret_key_of(PyObject* object) {
    return record_of<SecretKeyRecord>(secret_key_class, object);
}

}  // namespace hecrypt::python
