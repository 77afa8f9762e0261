// base^e modulo each lane's own modulus for eight bases and eight secret
// exponents at once, in constant time: the path of decryption and of
// products by secret scalars.
#pragma once

#include <cstddef>

#include "core/engine/ifma/context.hpp"
#include "core/engine/ifma/mont8.hpp"

namespace hecrypt {

// An exponent per lane, 64 bits per word: word j of lane l's exponent is
// exponents[j].lane[l] (the DigitVector layout with full 64-bit words).
using ExponentWords8 = Lanes8;

// out = base^e R^(1 - e) per lane, that is base^e in Montgomery form, in
// [0, 2m), for bases in Montgomery form in [0, 2m) and exponents below
// 2^bits (1 <= bits <= 64 |exponents|). Fixed windows of up to 5 bits from
// the top, their size chosen from `bits`, each entry chosen from the lane's
// table by mask after reading them all: the instructions and the memory
// touched depend on `bits` and the width alone.
// out must not alias base. With LaneCount::Four only lanes 0 to 3 are
// computed, in about half the time. Faults unless ifma_available().
void ifma_pow8(const IfmaContext& ctx, LaneView base, const ExponentWords8& exponents,
               std::size_t bits, LaneSpan out, IfmaScratch& scratch,
               LaneCount lanes = LaneCount::Eight);

// The same for bases given as numbers below their lane's modulus, the
// results leaving as numbers in [0, m). With LaneCount::Four the results of
// lanes 4 to 7 are meaningless.
Values8 ifma_pow_values8(const IfmaContext& ctx, const Values8& bases,
                         const ExponentWords8& exponents, std::size_t bits,
                         LaneCount lanes = LaneCount::Eight);

}  // namespace hecrypt
