#include "results.hpp"

#include <utility>

#include "key_types.hpp"

namespace hecrypt::python {

namespace {

template <class Item>
Ref list_of(const std::vector<Item>& items) {
    Ref list = built(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_object(items[i]).release());
    }
    return list;
}

}  // namespace

Ref built(PyObject* object) {
    if (object == nullptr) {
        if (PyErr_Occurred()) print_error(take_error());
        throw InternalFault("Python API call failed");
    }
    return Ref(object);
}

Ref to_object(const Bytes& bytes) {
    return built(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<Py_ssize_t>(bytes.size())));
}

Ref to_object(const std::string& text) {
    return built(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref to_object(const std::vector<Bytes>& blobs) { return list_of(blobs); }

Ref to_object(const std::vector<std::string>& texts) { return list_of(texts); }

Ref to_object(const std::vector<double>& values) { return list_of(values); }

Ref to_object(double value) { return built(PyFloat_FromDouble(value)); }

Ref to_object(PublicKeyRecord&& record) { return new_public_key(std::move(record)); }

Ref to_object(KeyPair&& pair) {
    Ref public_key = new_public_key(std::move(pair.public_key));
    Ref secret_key = new_secret_key(std::move(pair.secret_key));
    return built(PyTuple_Pack(2, public_key.get(), secret_key.get()));
}

}  // namespace hecrypt::python
