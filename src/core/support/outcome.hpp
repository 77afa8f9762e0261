// A refusal is a value, a broken invariant an exception.
//
// Every operation that can turn an input down returns Outcome<T>: either the
// value or the exact text the caller will see. InternalFault is thrown only
// when the module's own bookkeeping is wrong; the binding reports it as a
// fault rather than a refusal.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace hecrypt {

struct InternalFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Refusal {
    std::string message;
};

template <class T>
class [[nodiscard]] Outcome {
  public:
    Outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Outcome(Refusal refusal) : state_(std::in_place_index<1>, std::move(refusal)) {}

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    const std::string& refusal() const { return std::get<1>(state_).message; }
    Refusal take_refusal() { return std::move(std::get<1>(state_)); }

  private:
    std::variant<T, Refusal> state_;
};

// The outcome of a check that yields nothing but success or a refusal.
struct Done {};
using Status = Outcome<Done>;

inline Refusal refuse(std::string message) { return Refusal{std::move(message)}; }

// Throws InternalFault with `what` unless `condition` holds.
inline void ensure(bool condition, const char* what) {
    if (!condition) throw InternalFault(what);
}

}  // namespace hecrypt
