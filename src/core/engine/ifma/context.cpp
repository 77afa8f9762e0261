// Constant time in: the moduli (p^2 and q^2 for decryption).
#include "core/engine/ifma/context.hpp"

#include <algorithm>

#include "core/support/ct.hpp"
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

// R mod m and R^2 mod m come from the constant-time division and product:
// the moduli may be p^2 and q^2.
IfmaContext::IfmaContext(const Values8& moduli)
    : width(width_for(moduli)), modulus(width), r_squared(width), one(width) {
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        const mpz_class& m = moduli[l];
        const std::span<const mp_limb_t> m_limbs = limbs_of(m);
        WipedLimbs r_mod_m(m_limbs.size()), r_squared_mod_m(m_limbs.size());
        ct_pow2_mod(r_mod_m.span(), IFMA_DIGIT_BITS * width, m_limbs);
        ct_mul_mod(r_squared_mod_m.span(), r_mod_m.view(), r_mod_m.view(), m_limbs);
        write_lane(modulus, l, m);
        neg_inv.get().lane[l] = negated_inverse(modulus[0].lane[l]);
        write_lane(one, l, WipedInteger(ct_from_limbs(r_mod_m.view())));
        write_lane(r_squared, l, WipedInteger(ct_from_limbs(r_squared_mod_m.view())));
    }
}

}  // namespace hecrypt
