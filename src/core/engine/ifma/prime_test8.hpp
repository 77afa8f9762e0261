// The safe-prime search's cheap test on the 8-lane engine: a base-2 Fermat
// test of eight candidates at once.
#pragma once

#include <array>
#include <cstddef>

#include "core/engine/ifma/lanes.hpp"

namespace hecrypt {

// Whether 2^(m - 1) = 1 mod m for the odd modulus 3 <= m < 2^bits of each
// lane. The candidates are secret: one power computes all eight, its
// exponents m - 1 taken bits at a time, so the instructions and the memory
// touched depend on `bits` and the lanes' width alone. Faults unless
// ifma_available().
std::array<bool, IFMA_LANES> ifma_fermat8(const Values8& moduli, std::size_t bits);

}  // namespace hecrypt
