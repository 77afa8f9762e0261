// Fixed-base exponentiation: a per-key table of powers of one base, so that
// base^e costs one Montgomery multiplication per 6-bit digit of e and no
// squaring at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/engine/portable/mont.hpp"

namespace hecrypt {

constexpr unsigned WINDOW_BITS = 6;
constexpr unsigned WINDOW_ENTRIES = 1u << WINDOW_BITS;

struct FixedBaseTable {
    // Window j holds base^(d 64^j) mod m in Montgomery form for d = 0..63,
    // entry d at limbs [d width, (d + 1) width).
    std::vector<Limbs> windows;
    MontContext context;
};

// An exponent's digits are as secret as the exponent.
using Digits = WipedVector<std::uint8_t>;

FixedBaseTable build_table(const mpz_class& base, const mpz_class& modulus,
                           std::size_t window_count);

// 6-bit digits of a big-endian exponent, least significant digit first.
Digits exponent_digits(ByteView exponent);

// base^e mod m for e = sum digits[j] 64^j. The entry of each window is
// selected by mask over all 64 entries, so memory access does not depend on
// the digits.
mpz_class pow_fixed(const FixedBaseTable& table, const Digits& digits);

// The same for several exponents in one pass over the table: each window is
// read from memory once for all of them.
std::vector<mpz_class> pow_fixed_many(const FixedBaseTable& table,
                                      std::span<const Digits> exponents);

}  // namespace hecrypt
