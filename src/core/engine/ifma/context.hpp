// Odd moduli prepared for the 8-lane Montgomery kernels, one per lane.
//
// The width k is the least number of 52-bit digits with 4 m < R = 2^(52 k)
// for the longest modulus. That headroom of two bits is what lets every
// product stay in [0, 2m) without a final subtraction: for a, b < 2m,
// (a b + u m) / R with u < R is below 4m^2 / R + m < 2m. Full reduction
// happens once, on the way out.
//
// Most contexts hold one modulus in every lane (n^2 of a key); decryption's
// holds p^2 and q^2 side by side, so the moduli may be secret: every field of
// a context that depends on them wipes itself when freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/engine/ifma/lanes.hpp"
#include "core/support/bigint.hpp"

namespace hecrypt {

// The largest modulus: n^2 of an 8192-bit key, k = 316. The column sums of
// one product stay below 2^64 up to k = 1023; the limit is the module's own.
constexpr std::size_t IFMA_MAX_MODULUS_BITS = 16384;

struct IfmaContext {
    std::size_t width;           // k
    Lanes8 modulus;              // m_l in lane l, k digits
    Wiped<DigitVector> neg_inv;  // -m_l^-1 mod 2^52: its low bits are m_l's
    Lanes8 r_squared;            // R^2 mod m_l: enters Montgomery form
    Lanes8 one;                  // R mod m_l: the Montgomery form of 1

    // m in every lane: odd, positive and at most IFMA_MAX_MODULUS_BITS bits.
    explicit IfmaContext(const mpz_class& m);
    // moduli[l] in lane l, each as above.
    explicit IfmaContext(const Values8& moduli);
    IfmaContext(const IfmaContext&) = default;
    IfmaContext(IfmaContext&&) = default;
    IfmaContext& operator=(IfmaContext&&) = default;
};

// Digits for a modulus of `bits` bits: the least k with bits + 2 <= 52 k.
std::size_t ifma_width(std::size_t bits);

}  // namespace hecrypt
