// Test builds only: making one item of a parallel stage fail an internal
// check, to watch the fault travel from a worker to the caller and the pool
// carry on afterwards.
//
// With HECRYPT_FAULT_INJECTION defined, HECRYPT_INJECT_FAULT=<i> (a decimal
// item index, counted from 0) makes item i of every parallel stage throw
// InternalFault("injected fault at item i"), on whichever thread runs it.
// The variable is read once per stage, by the thread that starts the stage,
// so a test can set it for one call and clear it for the next. Unset, empty
// or anything but a decimal number: no fault. Without the define the hook is
// an empty inline function and compiles to nothing.
#pragma once

#include <cstddef>
#include <optional>

namespace hecrypt {

#ifdef HECRYPT_FAULT_INJECTION

class FaultInjection {
  public:
    FaultInjection();
    // Throws InternalFault when `item` is the index to fail.
    void before_item(std::size_t item) const;

  private:
    std::optional<std::size_t> item_;
};

#else

class FaultInjection {
  public:
    void before_item(std::size_t) const {}
};

#endif

}  // namespace hecrypt
