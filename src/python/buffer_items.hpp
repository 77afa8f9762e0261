// Items of a list argument read straight from the object's buffer.
//
// A NumPy array (or a memoryview, or bytes) exports its numbers through the
// buffer protocol, so a one-dimensional, C-contiguous buffer of native
// float64 or integer items is copied in one pass instead of one Python
// object per item; the module needs no NumPy for it. The items are copied
// out while the lock is held and the buffer is released before the readers
// return: a mutable exporter (an array another thread writes to, a bytearray
// another thread resizes) is never read after that, and the core works on
// the copy as it does on a converted list.
//
// Only exporters whose type is static (defined in C) are asked: a class
// written in Python may make its items differ from its buffer (a NumPy
// masked array yields masked items, not the data under them) or run code to
// export one; such objects, and every other layout, are read item by item
// as any sequence is, with the same results and refusals as before.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "core/support/wiped.hpp"

namespace hecrypt::python {

// Converted values and scalars: a caller's secrets (a secret scalar, a
// plaintext), so the copy wipes itself on every way out of a call,
// refusals and exceptions included, and when it grows.
using Doubles = WipedVector<double>;

// `count` rows of `width` values, row-major.
struct FloatRows {
    Doubles values;
    std::size_t count = 0, width = 0;
};

// The items of `object` when its buffer holds float64 ones; absent otherwise.
std::optional<Doubles> float64_items(PyObject* object);

// The same for a two-dimensional buffer, read as rows.
std::optional<FloatRows> float64_rows(PyObject* object);

// The items of `object` when its buffer holds integers of any width and
// signedness; absent otherwise. A negative item raises CPython's own
// OverflowError, as the int it stands for would (throws PythonError).
std::optional<std::vector<std::uint64_t>> index_items(PyObject* object);

}  // namespace hecrypt::python
