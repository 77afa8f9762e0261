// Fixed-width Montgomery arithmetic modulo one odd modulus.
//
// Every number has exactly `width` limbs, least significant first, whatever
// its value, so a multiplication costs the same for every operand.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <span>
#include <vector>

#include "core/support/bigint.hpp"

namespace hecrypt {

// Limb arrays wipe themselves: a table's are public, but scratch and the
// powers of an evaluation are not, and one type serves both.
using Limbs = WipedVector<mp_limb_t>;
using LimbView = std::span<const mp_limb_t>;
using LimbSpan = std::span<mp_limb_t>;

struct MontContext {
    Limbs modulus;
    Limbs r_squared;  // R^2 mod m, R = 2^(64 width)
    Limbs one;        // R mod m: the Montgomery form of 1
    std::size_t width;
    // -m^-1 mod 2^64: its low bits are m's, and m may be secret (a prime of
    // the key or its square).
    Wiped<mp_limb_t> neg_inv;

    explicit MontContext(const mpz_class& m);
};

// Working storage of one thread's multiplications.
struct MontScratch {
    Limbs product;   // 2 width limbs
    Limbs trial;     // width limbs
    Limbs multiply;  // the constant-time multiplication's own scratch

    explicit MontScratch(std::size_t width);
};

// out = a b R^-1 mod m, for a < m and b < R. `out` must not alias `a` or `b`.
void mont_mul(const MontContext& ctx, LimbView a, LimbView b, LimbSpan out, MontScratch& scratch);

// out = t 2^(-64 e) mod m for t of width + e limbs, e >= 0, which it
// overwrites: fully reduced when t < m 2^(64 e), and otherwise a value
// below R of that class, which a Montgomery product takes as its b.
void mont_reduce(const MontContext& ctx, LimbSpan t, LimbSpan out, MontScratch& scratch);

// Writes |x| into `buffer`, zero-padded; faults when it does not fit.
void write_limbs(const mpz_class& x, LimbSpan buffer);

// |x| mod m at the width of m, by the constant-time division: m may be p^2,
// q^2 or a prime.
WipedLimbs residue_limbs(const mpz_class& x, LimbView m);

// x R mod m, for 0 <= x < R.
Limbs to_mont(const MontContext& ctx, const mpz_class& x, MontScratch& scratch);

// a R^-1 mod m as a big integer in [0, m).
mpz_class from_mont(const MontContext& ctx, LimbView a, MontScratch& scratch);

}  // namespace hecrypt
