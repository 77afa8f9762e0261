#include "binding.hpp"

#include <cstring>
#include <string_view>

#include "errors.hpp"

namespace hecrypt::python {

namespace {

void check_positional_count(const Signature& sig, std::size_t given) {
    const std::size_t max = sig.params.size();
    if (given <= max) return;
    std::string takes = sig.required == max
                            ? std::to_string(max)
                            : "from " + std::to_string(sig.required) + " to " + std::to_string(max);
    // "arguments" stays plural even for a maximum of one, as CPython's own
    // wording for positional counts does.
    fail_with(PyExc_TypeError, sig.full_name() + " takes " + takes + " positional arguments but " +
                                   std::to_string(given) + (given == 1 ? " was" : " were") +
                                   " given");
}

// The slot named by `keyword`, or params.size() when no parameter has that
// name (also when the name cannot be read as UTF-8).
std::size_t slot_of(const Signature& sig, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return sig.params.size();
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    std::size_t slot = 0;
    while (slot < sig.params.size() && name != sig.params[slot]) ++slot;
    return slot;
}

void bind_keywords(const Signature& sig, Slots& slots, PyObject* const* values, PyObject* kwnames) {
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t slot = slot_of(sig, keyword);
        const char* problem = slot == slots.size()     ? "got an unexpected keyword argument"
                              : slots[slot] != nullptr ? "got multiple values for argument"
                                                       : nullptr;
        if (problem != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s %s '%S'", sig.full_name().c_str(), problem, keyword);
            throw PythonError{};
        }
        slots[slot] = values[k];
    }
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) list += "and ";
        list += std::string("'") + names[i] + "'";
    }
    return list;
}

void check_required(const Signature& sig, const Slots& slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(sig.params[i]);
    }
    if (missing.empty()) return;
    const char* noun = missing.size() == 1 ? " required positional argument: "
                                           : " required positional arguments: ";
    fail_with(PyExc_TypeError, sig.full_name() + " missing " + std::to_string(missing.size()) +
                                   noun + quoted_list(missing));
}

}  // namespace

std::string Signature::full_name() const {
    std::string full = class_name != nullptr ? std::string(class_name) + "." : std::string();
    return full + name + "()";
}

Slots bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto given = static_cast<std::size_t>(nargs);
    check_positional_count(sig, given);
    Slots slots(sig.params.size(), nullptr);
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    bind_keywords(sig, slots, args + nargs, kwnames);
    check_required(sig, slots);
    return slots;
}

}  // namespace hecrypt::python
