// Big integers: GMP's mpz_class plus the few helpers it lacks.
#pragma once

#include <gmpxx.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace hecrypt {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Number of significant bits of |x|; 0 for x = 0.
std::size_t bit_length(const mpz_class& x);

// The unsigned big-endian integer of `bytes` (0 for no bytes).
mpz_class from_bytes_be(ByteView bytes);

// |x| as minimal unsigned big-endian bytes (no bytes for 0).
Bytes to_bytes_be(const mpz_class& x);

// Overwrites every allocated limb of x with zeros, then sets x to 0. Used on
// secret values before their memory goes back to the allocator.
void wipe(mpz_class& x);

// Zeroes a byte buffer in a way the compiler cannot drop as a dead store.
void wipe(std::span<std::uint8_t> buffer);

// base^exponent mod modulus in time that depends only on the sizes of the
// operands: the path for secret exponents. Faults unless exponent > 0 and
// the modulus is odd.
mpz_class secure_pow_mod(const mpz_class& base, const mpz_class& exponent, const mpz_class& modulus);

}  // namespace hecrypt
