#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <string>

#include "buffer_items.hpp"
#include "core/support/secure_memory.hpp"
#include "key_types.hpp"

namespace hecrypt::python {

namespace {

// A sequence's length only sizes the first allocation; past this many items
// the vector grows as it reads. A __len__ that claims more than the object
// yields must not make us reserve (or abort on) memory that is never used.
constexpr std::size_t MAX_RESERVED_ITEMS = std::size_t{1} << 16;

constexpr long U32_MAX = 4294967295L;
constexpr long U8_MAX = 255;

std::string qualified_type_name(PyObject* object) {
    Ref name(PyType_GetQualName(Py_TYPE(object)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return text;
}

[[noreturn]] void refuse_type(PyObject* object, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 qualified_type_name(object).c_str(), target);
    throw PythonError{};
}

std::size_t capacity_hint(PyObject* sequence) {
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) {
        PyErr_Clear();  // only a hint: the iteration below decides
        return 0;
    }
    return std::min(static_cast<std::size_t>(size), MAX_RESERVED_ITEMS);
}

// What every list argument must be before its items are read.
void check_sequence(PyObject* object) {
    // A str is a sequence too, of one-character strings; taking it item by
    // item would hide a caller's mistake, so it is refused outright.
    if (PyUnicode_Check(object)) fail_with(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) refuse_type(object, "Sequence");
}

// The items of a checked sequence, converted one by one as iterated into
// `Items`, a vector.
template <class Items, class ConvertItem>
Items iterated(PyObject* object, ConvertItem&& convert_item) {
    Items items;
    items.reserve(capacity_hint(object));
    Ref iterator = checked(PyObject_GetIter(object));
    while (Ref item{PyIter_Next(iterator.get())}) items.push_back(convert_item(item.get()));
    if (PyErr_Occurred()) fail();
    return items;
}

template <class ConvertItem>
auto sequence(PyObject* object, ConvertItem&& convert_item) {
    check_sequence(object);
    return iterated<std::vector<decltype(convert_item(object))>>(object, convert_item);
}

// A sequence whose buffer `read_buffer` can read directly is copied from it;
// any other is converted item by item, into the same type of vector.
template <class ReadBuffer, class ConvertItem>
auto sequence(PyObject* object, ReadBuffer&& read_buffer, ConvertItem&& convert_item) {
    check_sequence(object);
    if (auto items = read_buffer(object)) return std::move(*items);
    return iterated<typename decltype(read_buffer(object))::value_type>(object, convert_item);
}

PyObject* checked_bytes(PyObject* object) {
    if (!PyBytes_Check(object)) refuse_type(object, "PyBytes");
    return object;
}

Ref bytes_object(PyObject* object) { return Ref::borrowed(checked_bytes(object)); }

ByteView view_of(PyObject* bytes) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// ---- Items of `values` and `scalars`
//
// The core works on doubles, so an integer item is only taken when its double
// is that same integer: 2**53 + 1 silently becoming 2**53 would be a plausible
// wrong number. Floats are the caller's rounding already and pass as they are.

// Past 2^53 in magnitude doubles no longer hold every integer.
constexpr double FIRST_INEXACT_RANGE = 0x1p53;
constexpr int DOUBLE_SIGNIFICAND_BITS = 53;

// Which item is being converted, for the refusal: "value #3", "scalar #2",
// or, for an item of a row, "row 2, column 3".
struct ItemLabel {
    const std::string& noun;
    std::size_t position;
    std::size_t column = 0;  // from 1 when the item sits in a row

    std::string text() const {
        if (column == 0) return noun + " #" + std::to_string(position);
        return noun + " " + std::to_string(position) + ", column " + std::to_string(column);
    }
};

// An integer is a double when its bits, trailing zeros dropped, fit the
// significand; no Python object is needed to tell.
bool double_holds(long long value) {
    const std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    return magnitude == 0 ||
           std::bit_width(magnitude >> std::countr_zero(magnitude)) <= DOUBLE_SIGNIFICAND_BITS;
}

// Compared as integers with int's own comparison: an int subclass's __eq__
// has no say in what the caller's number is.
bool equals_exactly(PyObject* integer, double value) {
    const Ref as_integer = checked(PyLong_FromDouble(value));
    const Ref same = checked(PyLong_Type.tp_richcompare(integer, as_integer.get(), Py_EQ));
    return same.get() == Py_True;
}

// Decimal digits of an int (or subclass) without running any __str__ it has.
Ref decimal_digits(PyObject* integer) { return checked(PyNumber_ToBase(integer, 10)); }

[[noreturn]] void refuse_inexact(PyObject* integer, double used, const ItemLabel& label) {
    const Ref given = decimal_digits(integer);
    const Ref used_integer = checked(PyLong_FromDouble(used));
    const Ref used_digits = decimal_digits(used_integer.get());
    const Ref message = checked(PyUnicode_FromFormat(
        "%s is the integer %U, which a float cannot hold exactly: the value used would be "
        "%U, a different number. Pass a float if that rounding is the intent",
        label.text().c_str(), given.get(), used_digits.get()));
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw PythonError{};
}

// `integer` is an int or a subclass. A number too large for any double keeps
// CPython's OverflowError.
double integer_to_double(PyObject* integer, const ItemLabel& label) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (small == -1 && PyErr_Occurred()) fail();
    if (overflow == 0) {
        const double value = static_cast<double>(small);
        if (!double_holds(small)) refuse_inexact(integer, value, label);
        return value;
    }
    const double value = PyLong_AsDouble(integer);
    if (value == -1.0 && PyErr_Occurred()) fail();
    if (!equals_exactly(integer, value)) refuse_inexact(integer, value, label);
    return value;
}

bool has_float_slot(PyObject* item) {
    const PyNumberMethods* number = Py_TYPE(item)->tp_as_number;
    return number != nullptr && number->nb_float != nullptr;
}

// `value` is what the item's own __float__ gave. Below 2^53 a correctly
// rounded conversion of an integer is that integer, so only larger results
// ask an integer-like item (a NumPy integer, an int subclass) for its exact
// value, through __index__. An item whose __index__ refuses with TypeError
// is no integer (a NumPy float array has the slot but refuses): its float
// stands.
double confirmed_integer(PyObject* item, double value, const ItemLabel& label) {
    if (!std::isfinite(value) || std::fabs(value) < FIRST_INEXACT_RANGE) return value;
    Ref integer;
    if (PyLong_Check(item)) {
        integer = Ref::borrowed(item);
    } else if (PyIndex_Check(item)) {
        integer = Ref(PyNumber_Index(item));
        if (!integer) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) fail();
            PyErr_Clear();
            return value;
        }
    } else {
        return value;
    }
    if (!equals_exactly(integer.get(), value)) refuse_inexact(integer.get(), value, label);
    return value;
}

double to_double(PyObject* item, const ItemLabel& label) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    if (PyLong_CheckExact(item) || PyBool_Check(item)) return integer_to_double(item, label);
    if (!PyFloat_Check(item) && !has_float_slot(item) && PyIndex_Check(item)) {
        // PyFloat_AsDouble would take the same __index__ and drop the integer
        // it needs for the test; call it once, here.
        const Ref integer = checked(PyNumber_Index(item));
        return integer_to_double(integer.get(), label);
    }
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) fail();
    return PyFloat_Check(item) ? value : confirmed_integer(item, value, label);
}

// "values" holds values, "scalars" scalars: an item's name is its list's,
// in the singular.
std::string item_noun(const char* parameter) {
    std::string noun = parameter;
    if (!noun.empty() && noun.back() == 's') noun.pop_back();
    return noun;
}

std::uint64_t to_index(PyObject* item) {
    const Ref integer = PyLong_Check(item) ? Ref::borrowed(item) : checked(PyNumber_Index(item));
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == ULLONG_MAX && PyErr_Occurred()) fail();
    return value;
}

long to_long_up_to(PyObject* object, long max) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) fail();
    if (value < 0 || value > max) {
        fail_with(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return value;
}

// Python code run by a conversion (a __float__, an __index__, an iterator)
// that raises PanicException has hit a fault of its own; it is reported
// here and carried on as ours rather than passed off as a bad argument.
[[noreturn]] void escalate_panic(Ref error) {
    Ref text(PyObject_Str(error.get()));
    const char* fault = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    std::string message = fault != nullptr ? fault : "PanicException raised by Python code";
    PyErr_Clear();
    PySys_WriteStderr("--- PanicException raised by Python code called from hecrypt ---\n");
    print_error(std::move(error));
    throw InternalFault(message);
}

// Re-raises the pending error of argument `name`. Only an exact TypeError is
// reworded: every other type (OverflowError, MemoryError, whatever a user's
// __float__ raised) reaches the caller as it was.
[[noreturn]] void fail_argument(const char* name) {
    Ref error = take_error();
    if (!error) fail();
    if (is_panic(error.get())) escalate_panic(std::move(error));
    if (Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        Ref message = checked(PyUnicode_FromFormat("argument '%s': %S", name, error.get()));
        Ref prefixed = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
        if (PyObject* cause = PyException_GetCause(error.get())) {
            PyException_SetCause(prefixed.get(), cause);
        }
        error = std::move(prefixed);
    }
    restore_error(std::move(error));
    throw PythonError{};
}

// The rows of a sequence of sequences, each row's items read as `values`'
// are; every row must be as long as the first.
FloatRows iterated_rows(PyObject* object) {
    static const std::string noun = "row";
    FloatRows rows;
    Ref iterator = checked(PyObject_GetIter(object));
    while (Ref row{PyIter_Next(iterator.get())}) {
        const std::size_t r = ++rows.count;
        std::size_t column = 0;
        const Doubles cells = sequence(row.get(), float64_items, [&](PyObject* item) {
            return to_double(item, {noun, r, ++column});
        });
        if (r == 1) rows.width = cells.size();
        if (cells.size() != rows.width) {
            fail_with(PyExc_ValueError,
                      "row " + std::to_string(r) + " holds " + std::to_string(cells.size()) +
                          " values where row 1 holds " + std::to_string(rows.width) +
                          ": every row fills the same slots");
        }
        rows.values.insert(rows.values.end(), cells.begin(), cells.end());
    }
    if (PyErr_Occurred()) fail();
    return rows;
}

}  // namespace

BlobList::BlobList(std::vector<Ref> blobs) : blobs_(std::move(blobs)) {
    views_.reserve(blobs_.size());
    for (const Ref& blob : blobs_) views_.push_back(view_of(blob.get()));
}

template <class Convert>
decltype(auto) Arguments::convert(std::size_t i, Convert&& conversion) const {
    try {
        return std::forward<Convert>(conversion)(slots_[i]);
    } catch (const PythonError&) {
        fail_argument(sig_.params[i]);
    }
}

const PublicKeyRecord& Arguments::public_key(std::size_t i) const {
    return convert(i, [](PyObject* object) -> const PublicKeyRecord& {
        const PublicKeyRecord* record = public_key_of(object);
        if (record == nullptr) refuse_type(object, "PublicKey");
        return *record;
    });
}

const SecretKeyRecord& Arguments::secret_key(std::size_t i) const {
    return convert(i, [](PyObject* object) -> const SecretKeyRecord& {
        const SecretKeyRecord* record = secret_key_of(object);
        if (record == nullptr) refuse_type(object, "SecretKey");
        return *record;
    });
}

ByteView Arguments::bytes(std::size_t i) const {
    return convert(i, [](PyObject* object) { return view_of(checked_bytes(object)); });
}

ByteView Arguments::text_or_bytes(std::size_t i) const {
    return convert(i, [](PyObject* object) {
        if (PyBytes_Check(object)) return view_of(object);
        if (!PyUnicode_Check(object)) refuse_type(object, "str or bytes");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(object, &size);
        if (text == nullptr) fail();  // a lone surrogate has no UTF-8
        return ByteView(reinterpret_cast<const std::uint8_t*>(text),
                        static_cast<std::size_t>(size));
    });
}

BlobList Arguments::blobs(std::size_t i) const {
    return convert(i, [](PyObject* object) { return BlobList(sequence(object, bytes_object)); });
}

// The items may be secret scalars: the frames that converted them are wiped.
Doubles Arguments::doubles(std::size_t i) const {
    const StackWipe wipe_stack(SCALAR_STACK_WIPE_BYTES);
    const std::string noun = item_noun(sig_.params[i]);
    return convert(i, [&noun](PyObject* object) {
        std::size_t position = 0;  // counted from 1, like every item in a message
        return sequence(object, float64_items, [&](PyObject* item) {
            return to_double(item, {noun, ++position});
        });
    });
}

FloatRows Arguments::rows(std::size_t i) const {
    return convert(i, [](PyObject* object) {
        check_sequence(object);
        if (auto matrix = float64_rows(object)) return std::move(*matrix);
        return iterated_rows(object);
    });
}

EncryptionKey Arguments::encryption_key(std::size_t i) const {
    return convert(i, [](PyObject* object) -> EncryptionKey {
        if (const SecretKeyRecord* record = secret_key_of(object)) return *record;
        const PublicKeyRecord* record = public_key_of(object);
        if (record == nullptr) refuse_type(object, "PublicKey or SecretKey");
        return *record;
    });
}

IndexLists Arguments::index_lists(std::size_t i) const {
    return convert(i, [](PyObject* object) {
        return sequence(object,
                        [](PyObject* block) { return sequence(block, index_items, to_index); });
    });
}

std::uint32_t Arguments::u32_or(std::size_t i, std::uint32_t fallback) const {
    if (slots_[i] == nullptr) return fallback;
    return convert(i, [](PyObject* object) {
        return static_cast<std::uint32_t>(to_long_up_to(object, U32_MAX));
    });
}

std::uint8_t Arguments::u8_or(std::size_t i, std::uint8_t fallback) const {
    if (slots_[i] == nullptr) return fallback;
    return convert(i, [](PyObject* object) {
        return static_cast<std::uint8_t>(to_long_up_to(object, U8_MAX));
    });
}

std::optional<std::uint8_t> Arguments::optional_u8(std::size_t i) const {
    if (slots_[i] == nullptr || slots_[i] == Py_None) return std::nullopt;
    return u8_or(i, 0);
}

}  // namespace hecrypt::python
