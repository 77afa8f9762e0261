// The text of the InternalFault an action throws, so a test can compare the
// exact message in one expectation.
#pragma once

#include <string>

#include "core/support/outcome.hpp"

namespace hecrypt::testing {

template <class Action>
std::string fault_text(Action&& action) {
    try {
        action();
    } catch (const InternalFault& fault) {
        return fault.what();
    }
    return "<no fault>";
}

}  // namespace hecrypt::testing
