#include "context.hpp"

#include "core/outcome.hpp"

namespace hecrypt {

namespace {

// -m0^-1 mod 2^52 for odd m0. The start 2 - m0 is right to 2 bits, since
// 1 - m0 (2 - m0) = (m0 - 1)^2 is divisible by 4; each Newton step doubles
// the correct bits, and five reach 64, more than the 52 needed.
std::uint64_t negated_inverse(std::uint64_t m0) {
    std::uint64_t x = 2 - m0;
    for (int step = 0; step < 5; ++step) x *= 2 - m0 * x;
    return (0 - x) & IFMA_DIGIT_MASK;
}

}  // namespace

std::size_t ifma_width(std::size_t bits) {
    return (bits + 2 + IFMA_DIGIT_BITS - 1) / IFMA_DIGIT_BITS;
}

IfmaContext::IfmaContext(const mpz_class& m) : width(0), neg_inv(0) {
    ensure(sgn(m) > 0 && mpz_odd_p(m.get_mpz_t()), "the modulus must be odd and positive");
    const std::size_t bits = bit_length(m);
    ensure(bits <= IFMA_MAX_MODULUS_BITS, "the modulus is too long for the IFMA engine");
    width = ifma_width(bits);
    modulus = digits_of(m, width);
    neg_inv = negated_inverse(modulus[0]);
    const mpz_class r_mod_m = (mpz_class(1) << (IFMA_DIGIT_BITS * width)) % m;
    one = broadcast_digits(digits_of(r_mod_m, width));
    r_squared = broadcast_digits(digits_of(r_mod_m * r_mod_m % m, width));
}

}  // namespace hecrypt
