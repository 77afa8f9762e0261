// The common frame of every entry point: bind, convert, run, build, and turn
// whatever goes wrong into the one Python exception the caller sees.
#pragma once

#include <Python.h>

#include "binding.hpp"
#include "convert.hpp"
#include "core/encoding/fixed_point.hpp"
#include "core/ops/ops.hpp"
#include "errors.hpp"
#include "lock.hpp"
#include "results.hpp"
#include "signals.hpp"

namespace hecrypt::python {

// `body` receives the bound arguments, converts them in parameter order and
// returns a new reference (usually to_python of the core's outcome).
template <class Body>
PyObject* call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               Body&& body) {
    return guarded([&]() -> PyObject* {
        SignalWatch signals;
        try {
            const Arguments arguments(sig, bind(sig, args, nargs, kwnames));
            return body(arguments);
        } catch (const Interrupted&) {
            if (!signals.raise()) throw InternalFault("a call was stopped without a signal");
            return nullptr;
        }
    });
}

// What the core reads of a converted argument: a list of blobs as its views,
// anything else as it is.
inline Blobs operand(const BlobList& blobs) { return blobs.views(); }
inline const IndexLists& operand(const IndexLists& lists) { return lists; }

// The entries of a key, a list of blobs and at most one argument more:
// `Key` is the Arguments reader of the key the operation takes (public_key or
// secret_key), `Extra` that of the third argument (the blocks of add_blocks,
// the subtrahends of subtract). All are converted in parameter order and the
// operation runs without the lock.
template <auto Key, auto Operation, auto... Extra>
PyObject* key_and_blobs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return call(sig, args, nargs, kwnames, [](const Arguments& a) {
        const auto& key = (a.*Key)(0);
        const auto blobs = a.blobs(1);
        return [&](const auto&... extra) {
            return to_python(
                without_lock([&] { return Operation(key, blobs.views(), operand(extra)...); }));
        }((a.*Extra)(2)...);
    });
}

// An encryption of values, (key, values, scale_pow10=8): the key is read by
// the Arguments member Key, so each entry refuses the other kind of key.
template <auto Key, auto Encrypt>
PyObject* encrypt_values(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return call(sig, args, nargs, kwnames, [](const Arguments& a) {
        const auto& key = (a.*Key)(0);
        const auto values = a.doubles(1);
        const std::uint8_t scale = a.u8_or(2, DEFAULT_SCALE_POW10);
        return to_python(without_lock([&] { return Encrypt(key, values, scale); }));
    });
}

}  // namespace hecrypt::python
