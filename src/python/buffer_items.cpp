#include "buffer_items.hpp"

#include <bit>
#include <cstring>
#include <string_view>
#include <type_traits>

#include "errors.hpp"

namespace hecrypt::python {

namespace {

// Whether a struct-syntax byte-order prefix means this machine's order.
bool native_order(char prefix) {
    switch (prefix) {
        case '@':
        case '=':
            return true;
        case '<':
            return std::endian::native == std::endian::little;
        case '>':
        case '!':
            return std::endian::native == std::endian::big;
        default:
            return false;
    }
}

// The one struct code of items in native byte order ('d', 'q', 'B', ...),
// or 0 for anything else: another order, a count, a record.
char native_code(const char* format) {
    if (format == nullptr) return 'B';  // the protocol's default: unsigned bytes
    std::string_view text(format);
    if (!text.empty() && native_order(text.front())) text.remove_prefix(1);
    return text.size() == 1 ? text.front() : 0;
}

// A C-contiguous buffer of native items, held for the object's lifetime;
// empty when the object cannot or should not give one.
class FlatBuffer {
  public:
    explicit FlatBuffer(PyObject* object) {
        if (!PyObject_CheckBuffer(object) ||
            PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_HEAPTYPE)) {
            return;
        }
        if (PyObject_GetBuffer(object, &view_, PyBUF_ND | PyBUF_FORMAT) != 0) {
            // The protocol's refusal of a layout, or NumPy's (a strided
            // array, a dtype without a buffer format): not for direct reading.
            if (!PyErr_ExceptionMatches(PyExc_BufferError) &&
                !PyErr_ExceptionMatches(PyExc_ValueError)) {
                fail();
            }
            PyErr_Clear();
            return;
        }
        held_ = true;
        Py_ssize_t items = 1;
        for (int d = 0; d < view_.ndim && view_.shape != nullptr; ++d) items *= view_.shape[d];
        const bool whole = view_.ndim >= 1 && view_.shape != nullptr && view_.itemsize > 0 &&
                           items * view_.itemsize == view_.len;
        code_ = whole ? native_code(view_.format) : 0;
    }
    ~FlatBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    FlatBuffer(const FlatBuffer&) = delete;
    FlatBuffer& operator=(const FlatBuffer&) = delete;

    // 0 unless the buffer is whole and of one native code; the rest is
    // meaningful only when it is not.
    char code() const { return code_; }
    int dimensions() const { return view_.ndim; }
    std::size_t item_size() const { return static_cast<std::size_t>(view_.itemsize); }
    std::size_t size() const { return extent(0); }
    std::size_t extent(int d) const { return static_cast<std::size_t>(view_.shape[d]); }
    const char* data() const { return static_cast<const char*>(view_.buf); }

  private:
    Py_buffer view_{};
    bool held_ = false;
    char code_ = 0;
};

// What CPython raises for a negative int where an unsigned one is needed.
[[noreturn]] void refuse_negative(long long item) {
    const Ref integer = checked(PyLong_FromLongLong(item));
    PyLong_AsUnsignedLongLong(integer.get());
    fail();
}

// Items are copied byte-wise: a '=' or '<' format promises no alignment.
template <class T>
std::vector<std::uint64_t> widened(const FlatBuffer& buffer) {
    std::vector<std::uint64_t> items(buffer.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        T item;
        std::memcpy(&item, buffer.data() + i * sizeof(T), sizeof(T));
        if constexpr (std::is_signed_v<T>) {
            if (item < 0) refuse_negative(item);
        }
        items[i] = static_cast<std::uint64_t>(item);
    }
    return items;
}

template <class Signed, class Unsigned>
std::vector<std::uint64_t> widened(const FlatBuffer& buffer, bool is_signed) {
    return is_signed ? widened<Signed>(buffer) : widened<Unsigned>(buffer);
}

}  // namespace

namespace {

// The float64 items of a buffer of `dimensions` dimensions, all of them.
std::optional<Doubles> float64_of(const FlatBuffer& buffer, int dimensions) {
    if (buffer.code() != 'd' || buffer.item_size() != sizeof(double) ||
        buffer.dimensions() != dimensions)
        return std::nullopt;
    std::size_t count = 1;
    for (int d = 0; d < dimensions; ++d) count *= buffer.extent(d);
    Doubles items(count);
    if (!items.empty()) std::memcpy(items.data(), buffer.data(), items.size() * sizeof(double));
    return items;
}

}  // namespace

std::optional<Doubles> float64_items(PyObject* object) { return float64_of(FlatBuffer(object), 1); }

std::optional<FloatRows> float64_rows(PyObject* object) {
    const FlatBuffer buffer(object);
    std::optional<Doubles> values = float64_of(buffer, 2);
    if (!values) return std::nullopt;
    return FloatRows{std::move(*values), buffer.extent(0), buffer.extent(1)};
}

std::optional<std::vector<std::uint64_t>> index_items(PyObject* object) {
    const FlatBuffer buffer(object);
    const char code = buffer.dimensions() == 1 ? buffer.code() : 0;
    if (code == 0 || std::string_view("bBhHiIlLqQnN").find(code) == std::string_view::npos) {
        return std::nullopt;
    }
    const bool is_signed = code >= 'a' && code <= 'z';
    switch (buffer.item_size()) {
        case 1:
            return widened<std::int8_t, std::uint8_t>(buffer, is_signed);
        case 2:
            return widened<std::int16_t, std::uint16_t>(buffer, is_signed);
        case 4:
            return widened<std::int32_t, std::uint32_t>(buffer, is_signed);
        case 8:
            return widened<std::int64_t, std::uint64_t>(buffer, is_signed);
        default:
            return std::nullopt;
    }
}

}  // namespace hecrypt::python
