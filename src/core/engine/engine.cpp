// Constant time in: the scalar written by fixed_width_exponent.
#include "core/engine/engine.hpp"

#include "core/support/ct.hpp"

namespace hecrypt {

// Written word by word: an mpz would not do, as setting its size would test
// the top limb.
FixedExponent fixed_width_exponent(const mpz_class& k) {
    const mp_limb_t magnitude = mpz_limbs_read(k.get_mpz_t())[0];
    // The sign bit of the size, not a comparison that could become a branch.
    const auto size = static_cast<std::uint32_t>(k.get_mpz_t()->_mp_size);
    const mp_limb_t negative = ct_barrier(static_cast<mp_limb_t>(size >> 31));
    return {(magnitude ^ (0 - negative)) + negative, 3 - negative};  // 2^64 - |k| when k < 0
}

std::optional<std::size_t> first_not_coprime(std::span<const PowerRequest> requests,
                                             const mpz_class& n) {
    mpz_class product = 1, g;
    for (const PowerRequest& request : requests) product = product * *request.c % n;
    mpz_gcd(g.get_mpz_t(), product.get_mpz_t(), n.get_mpz_t());
    if (g == 1) return std::nullopt;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        mpz_gcd(g.get_mpz_t(), requests[i].c->get_mpz_t(), n.get_mpz_t());
        if (g != 1) return i;
    }
    return std::nullopt;  // every c is coprime with n, so the product is
}

PrimePower::PrimePower(const mpz_class& r) : PrimePower(r, WipedInteger(r * r)) {}

PrimePower::PrimePower(const mpz_class& r, const WipedInteger& r_squared)
    : width(mpz_size(r.get_mpz_t())),
      square_width(mpz_size(r_squared.get_mpz_t())),
      square(square_width),
      exponent(width) {
    const WipedInteger r_minus_1 = r - 1;
    write_limbs(r_squared, square.span());
    write_limbs(r_minus_1, exponent.span());
}

}  // namespace hecrypt
