// One odd modulus prepared for the 8-lane Montgomery kernels.
//
// The width k is the least number of 52-bit digits with 4 m < R = 2^(52 k).
// That headroom of two bits is what lets every product stay in [0, 2m)
// without a final subtraction: for a, b < 2m, (a b + u m) / R with u < R is
// below 4m^2 / R + m < 2m. Full reduction happens once, on the way out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bigint.hpp"
#include "lanes.hpp"

namespace hecrypt {

// The largest modulus: n^2 of an 8192-bit key, k = 316. The column sums of
// one product stay below 2^64 up to k = 1023; the limit is the module's own.
constexpr std::size_t IFMA_MAX_MODULUS_BITS = 16384;

struct IfmaContext {
    std::size_t width;                   // k
    std::vector<std::uint64_t> modulus;  // m as k digits
    std::uint64_t neg_inv;               // -m^-1 mod 2^52
    Lanes8 r_squared;                    // R^2 mod m in every lane: enters Montgomery form
    Lanes8 one;                          // R mod m in every lane: the Montgomery form of 1

    // m odd, positive and at most IFMA_MAX_MODULUS_BITS bits.
    explicit IfmaContext(const mpz_class& m);
};

// Digits for a modulus of `bits` bits: the least k with bits + 2 <= 52 k.
std::size_t ifma_width(std::size_t bits);

}  // namespace hecrypt
