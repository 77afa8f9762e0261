// Constant time in: the operands and the modulus (p^2 and q^2 when decrypting).
#include "core/engine/portable/mont.hpp"

#include <algorithm>

#include "core/support/ct.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

static_assert(GMP_NUMB_BITS == 64, "the engine works on 64-bit limbs without nail bits");

namespace {

// -m0^-1 mod 2^64 for odd m0. The start 2 - m0 is right to 2 bits, since
// 1 - m0 (2 - m0) = (m0 - 1)^2 is divisible by 4, and every Newton step
// doubles the correct bits: four steps reach 32, the negated fifth gives 64.
mp_limb_t negated_inverse(mp_limb_t m0) {
    mp_limb_t x = 2 - m0;
    for (int step = 0; step < 4; ++step) x *= 2 - m0 * x;
    return (m0 * x - 2) * x;
}

Limbs limbs_of(const mpz_class& x, std::size_t width) {
    Limbs out(width);
    write_limbs(x, out);
    return out;
}

}  // namespace

// R mod m and R^2 mod m come from the constant-time division and product:
// the modulus may be p^2 or q^2 of a key holder's tables.
MontContext::MontContext(const mpz_class& m) : width(0), neg_inv(0) {
    ensure(sgn(m) > 0 && mpz_odd_p(m.get_mpz_t()), "n^2 is odd: n is a product of odd primes");
    width = mpz_size(m.get_mpz_t());
    modulus = limbs_of(m, width);
    one.resize(width);
    r_squared.resize(width);
    ct_pow2_mod(one, GMP_NUMB_BITS * width, modulus);
    ct_mul_mod(r_squared, one, one, modulus);
    neg_inv = negated_inverse(modulus[0]);
}

MontScratch::MontScratch(std::size_t width)
    : product(2 * width), trial(width), multiply(ct_mul_scratch(width)) {}

void mont_reduce(const MontContext& ctx, LimbSpan t, LimbSpan out, MontScratch& scratch) {
    const std::size_t k = ctx.width;
    ensure(t.size() >= k && out.size() == k, "an operand has the wrong width");
    ensure(scratch.trial.size() == k, "scratch has the wrong width");
    const auto n = static_cast<mp_size_t>(k);
    const mp_limb_t* m = ctx.modulus.data();

    // Each step clears limb j by adding a multiple of m; the carry-out lands
    // on limb j + k, and what overflows there is carried into the next step.
    mp_limb_t carry = 0;
    for (std::size_t j = 0; j + k < t.size(); ++j) {
        const mp_limb_t c = mpn_addmul_1(&t[j], m, n, t[j] * ctx.neg_inv);
        const mp_limb_t partial = t[j + k] + c;
        const mp_limb_t sum = partial + carry;
        carry = static_cast<mp_limb_t>(partial < c) | static_cast<mp_limb_t>(sum < partial);
        t[j + k] = sum;
    }
    std::copy_n(t.end() - static_cast<std::ptrdiff_t>(k), k, out.begin());

    // The top limbs plus carry are below t 2^(-64 e) + m: below 2m for a t
    // below m 2^(64 e), and below R + m for any t. Both the trial subtraction
    // and the conditional one run on every call so the timing is value-free.
    const mp_limb_t borrow = mpn_sub_n(scratch.trial.data(), out.data(), m, n);
    mpn_cnd_sub_n(carry | (borrow ^ 1), out.data(), out.data(), m, n);
}

void mont_mul(const MontContext& ctx, LimbView a, LimbView b, LimbSpan out, MontScratch& scratch) {
    const std::size_t k = ctx.width;
    ensure(a.size() == k, "left operand has the wrong width");
    ensure(b.size() == a.size(), "right operand has the wrong width");
    ensure(scratch.product.size() == 2 * k, "scratch has the wrong width");
    ct_mul(scratch.product.data(), a.data(), b.data(), k, scratch.multiply.data());
    mont_reduce(ctx, scratch.product, out, scratch);
}

// x may be secret (a power, a prime of the key): its length is not read.
void write_limbs(const mpz_class& x, LimbSpan buffer) {
    ensure(ct_reveal(ct_copy_limbs(x, buffer)) == 0, "not enough capacity");
}

WipedLimbs residue_limbs(const mpz_class& x, LimbView m) {
    WipedLimbs wide(std::max(mpz_size(x.get_mpz_t()), m.size())), out(m.size());
    write_limbs(x, wide.span());
    ct_reduce(wide.span(), m);
    std::ranges::copy(wide.view().first(m.size()), out.span().begin());
    return out;
}

Limbs to_mont(const MontContext& ctx, const mpz_class& x, MontScratch& scratch) {
    const Limbs value = limbs_of(x, ctx.width);
    Limbs out(ctx.width);
    mont_mul(ctx, value, ctx.r_squared, out, scratch);
    return out;
}

mpz_class from_mont(const MontContext& ctx, LimbView a, MontScratch& scratch) {
    Limbs unit(ctx.width);
    unit[0] = 1;  // the width is at least 1: the modulus is positive
    // The product goes straight into the result's limbs, so no other copy
    // of a possibly secret value is left behind.
    mpz_class x;
    mp_limb_t* limbs = mpz_limbs_write(x.get_mpz_t(), static_cast<mp_size_t>(ctx.width));
    mont_mul(ctx, a, unit, LimbSpan(limbs, ctx.width), scratch);
    ct_limbs_finish(x.get_mpz_t(), ctx.width);
    return x;
}

}  // namespace hecrypt
