// The value of an outcome that a test needs in order to go on; a refusal
// stops the test with its text.
#pragma once

#include <utility>

#include "core/support/outcome.hpp"

namespace hecrypt::testing {

template <class T>
T value_of(Outcome<T> outcome) {
    if (!outcome.ok()) throw InternalFault(outcome.refusal());
    return std::move(outcome.value());
}

}  // namespace hecrypt::testing
