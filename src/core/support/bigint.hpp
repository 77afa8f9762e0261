// Big integers: GMP's mpz_class plus the few helpers it lacks.
#pragma once

#include <gmpxx.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/support/wiped.hpp"

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

// The limbs of |x| as GMP holds them, least significant first, x's own
// length (none for 0).
inline std::span<const mp_limb_t> limbs_of(const mpz_class& x) {
    return {mpz_limbs_read(x.get_mpz_t()), mpz_size(x.get_mpz_t())};
}

// Zeroes a byte buffer in a way the compiler cannot drop as a dead store.
void wipe(std::span<std::uint8_t> buffer);

// acc = acc c mod m, by GMP's general multiplication and division, whose
// time depends on the values: for public operands only.
void mul_mod_vartime(mpz_class& acc, const mpz_class& c, const mpz_class& m);

// An integer that is wiped when it goes out of scope: for secrets held in
// local variables, on every way out of the function.
class WipedInteger : public mpz_class {
  public:
    using mpz_class::mpz_class;
    using mpz_class::operator=;
    WipedInteger() = default;
    WipedInteger(mpz_class&& x) noexcept : mpz_class(std::move(x)) {}
    WipedInteger(const mpz_class& x) : mpz_class(x) {}
    WipedInteger(const WipedInteger&) = default;
    WipedInteger& operator=(const WipedInteger&) = default;
    ~WipedInteger() { wipe(*this); }
};

// A byte buffer for secrets (a passphrase's key, sealed primes in the clear),
// zero at the start; its allocator zeroes the block on every way out.
using WipedBytes = WipedVector<std::uint8_t>;

// A fixed-width limb array for secret intermediates, zero at the start and
// zeroed before its memory goes back. Even a width of 0 has a block, so
// data() is a valid pointer for GMP's scratch arguments.
class WipedLimbs {
  public:
    explicit WipedLimbs(std::size_t width)
        : width_(width), limbs_(std::max<std::size_t>(width, 1)) {}
    WipedLimbs(const WipedLimbs&) = delete;
    WipedLimbs& operator=(const WipedLimbs&) = delete;
    WipedLimbs(WipedLimbs&&) noexcept = default;

    std::span<mp_limb_t> span() { return std::span(limbs_).first(width_); }
    std::span<const mp_limb_t> view() const { return std::span(limbs_).first(width_); }
    mp_limb_t* data() { return limbs_.data(); }

  private:
    std::size_t width_;
    WipedVector<mp_limb_t> limbs_;
};

}  // namespace hecrypt
