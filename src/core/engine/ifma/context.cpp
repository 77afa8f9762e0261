// Constant time in: the moduli (p^2 and q^2 for decryption).
#include "core/engine/ifma/context.hpp"

#include <algorithm>

#include "core/support/outcome.hpp"

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

std::size_t width_for(const Values8& moduli) {
    std::size_t bits = 0;
    for (const mpz_class& m : moduli) {
        ensure(sgn(m) > 0 && mpz_odd_p(m.get_mpz_t()), "the modulus must be odd and positive");
        bits = std::max(bits, bit_length(m));
    }
    ensure(bits <= IFMA_MAX_MODULUS_BITS, "the modulus is too long for the IFMA engine");
    return ifma_width(bits);
}

Values8 every_lane(const mpz_class& m) {
    Values8 moduli;
    moduli.fill(m);
    return moduli;
}

}  // namespace

std::size_t ifma_width(std::size_t bits) {
    return (bits + 2 + IFMA_DIGIT_BITS - 1) / IFMA_DIGIT_BITS;
}

IfmaContext::IfmaContext(const mpz_class& m) : IfmaContext(every_lane(m)) {}

// R mod m and R^2 mod m come from GMP's division, whose time depends on m:
// a context is made once per key, as the key's other constants are.
IfmaContext::IfmaContext(const Values8& moduli)
    : width(width_for(moduli)), modulus(width), r_squared(width), one(width) {
    const mpz_class r = mpz_class(1) << (IFMA_DIGIT_BITS * width);
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        const mpz_class& m = moduli[l];
        write_lane(modulus, l, m);
        neg_inv.get().lane[l] = negated_inverse(modulus[0].lane[l]);
        const mpz_class r_mod_m = r % m;
        write_lane(one, l, r_mod_m);
        write_lane(r_squared, l, r_mod_m * r_mod_m % m);
    }
}

}  // namespace hecrypt
