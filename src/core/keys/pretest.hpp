// The safe-prime search's cheap probable-prime test, run before the
// 40-round tests: 2^(m - 1) = 1 mod m. Every prime passes it and almost
// every composite fails, for the price of one power.
#pragma once

#include <array>
#include <cstddef>

#include "core/engine/ifma/lanes.hpp"

namespace hecrypt {

// Candidates tested together.
constexpr std::size_t PRETEST_GROUP = IFMA_LANES;
using PretestResults = std::array<bool, PRETEST_GROUP>;

enum class PretestEngine { Lanes8, Portable };

// The 8-lane engine where keys get it (use_ifma()), the portable one
// otherwise.
PretestEngine pretest_engine();

// Whether each odd modulus 3 <= m < 2^bits passes, in time that depends on
// `bits` and the moduli's widths alone, on either engine: the moduli are
// candidates for a key's primes.
PretestResults fermat_pretest(const Values8& moduli, std::size_t bits, PretestEngine engine);

}  // namespace hecrypt
