// The fixed-base window table in the 8-lane engine's form, and base^e for
// eight exponents at once: one 8-lane Montgomery product per 6-bit digit
// position serves eight encryptions.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "core/engine/ifma/convert.hpp"
#include "core/engine/portable/fast.hpp"

namespace hecrypt {

struct IfmaFixedBaseTable {
    // Window j holds the entries of the portable table's window j, base^(d
    // 64^j) mod m for d = 0..63, in this engine's Montgomery form (R =
    // 2^(52 k)), transposed: the eight DigitVectors [8 i, 8 i + 8) hold
    // digit i of all 64 entries, entry d in vector 8 i + d / 8, word d % 8.
    // One digit position of a whole window is then eight registers, from
    // which each lane picks its entry without an index into memory.
    std::vector<Lanes8> windows;
    IfmaContext context;
};

// The digits of one exponent per lane. A lane may have fewer digits than
// the others (the missing ones count as 0); an empty lane computes 1.
using Digits8 = std::array<Digits, IFMA_LANES>;

// The same powers as `table`, whose modulus is `modulus`, in the 8-lane form.
// Answers checkpoint() once per window, as build_table does.
IfmaFixedBaseTable build_table8(const FixedBaseTable& table, const mpz_class& modulus);

// base^(e_l) mod m in [0, m) for each lane l, e_l = sum digits[l][j] 64^j.
// Every entry of every window used is read for all lanes together and each
// lane keeps its own by mask, so neither the memory access nor the
// instructions depend on a digit.
Values8 pow_fixed8(const IfmaFixedBaseTable& table, const Digits8& digits);

// The same for several sets of eight exponents in one pass over the table:
// each window is read from memory once for all of them, which matters once
// the windows are narrow (moduli of half the width of n^2) and the reading
// costs about as much as the products.
std::vector<Values8> pow_fixed8_many(const IfmaFixedBaseTable& table,
                                     std::span<const Digits8> sets);

}  // namespace hecrypt
