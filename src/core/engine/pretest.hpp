// The safe-prime search's cheap probable-prime test, run before the
// 40-round tests: 2^(m - 1) = 1 mod m. Every prime passes it and almost
// every composite fails, for the price of one power. dispatch.hpp's
// fermat_pretest picks the engine; both compute the same verdicts.
#pragma once

#include <array>
#include <cstddef>

#include "core/support/bigint.hpp"

namespace hecrypt {

// Candidates tested together: one 8-lane power.
constexpr std::size_t PRETEST_GROUP = 8;
// The candidates, wiped when the group is done with.
using PretestModuli = std::array<WipedInteger, PRETEST_GROUP>;
using PretestResults = std::array<bool, PRETEST_GROUP>;

// The portable engine's verdicts: whether each odd modulus 3 <= m < 2^bits
// passes, by constant-time powers whose time depends on `bits` and the
// moduli's widths alone (the moduli are candidates for a key's primes).
PretestResults fermat_pretest_portable(const PretestModuli& moduli, std::size_t bits);

}  // namespace hecrypt
