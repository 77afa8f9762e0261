// Constant time in: the primes, the key's decryption values and the plaintexts.
#include "core/keys/secret.hpp"

#include <gmp.h>

#include <algorithm>

#include "core/encoding/blob.hpp"
#include "core/engine/engine.hpp"
#include "core/support/ct.hpp"

namespace hecrypt {

namespace {

// Everything after the range and coprimality tests works on limb arrays of
// fixed widths taken from the key, through GMP's mpn_sec_* and mpn_cnd_*
// functions, which GMP documents as side-channel silent: no branch,
// normalisation or table index here depends on the key or on a value derived
// from it. (GMP's division and power still look at the top and lowest bits
// of a secret divisor to normalise it and invert its limbs: a handful of bits
// of p and q, nowhere near what factoring n would take.)

mp_size_t count(LimbView limbs) { return static_cast<mp_size_t>(limbs.size()); }

// out = x, zero-padded to the width of out.
void pad(const mpz_class& x, WipedLimbs& out) { write_limbs(x, out.span()); }

// One prime's part of the key at fixed widths.
struct PrimeShare {
    std::size_t width, square_width;
    WipedLimbs r, h;

    PrimeShare(const mpz_class& prime, const mpz_class& square, const mpz_class& constant)
        : width(mpz_size(prime.get_mpz_t())),
          square_width(mpz_size(square.get_mpz_t())),
          r(width),
          h(width) {
        pad(prime, r);
        pad(constant, h);
    }
};

// out = m mod r from x = c^(r-1) mod r^2, which is 1 + L r for L = (x - 1)
// / r, exact because c is coprime with r (Fermat), so the remainder is not
// tested.
void half_from_power(WipedLimbs& x, const PrimeShare& s, LimbSpan out) {
    WipedLimbs l(s.square_width - s.width + 1);  // L < r: the limbs past `width` are zero
    ct_l_quotient(l.span(), x.span(), s.r.view());
    ct_mul_mod(out, l.view().first(s.width), s.h.view(), s.r.view());
}

// out = (mq - mp) p^-1 mod q. mp is reduced mod q first, so the difference
// needs one conditional addition of q, made by mask.
void crt_coefficient(LimbView mp, LimbView mq, const PrimeShare& q, LimbView p_inv_q,
                     LimbSpan out) {
    const std::size_t w = q.width;
    WipedLimbs reduced(std::max(mp.size(), w));
    std::ranges::copy(mp, reduced.span().begin());
    ct_reduce(reduced.span(), q.r.view());
    WipedLimbs difference(w);
    const mp_limb_t borrow = mpn_sub_n(difference.data(), mq.data(), reduced.data(), count(mq));
    mpn_cnd_add_n(borrow, difference.data(), difference.data(), q.r.view().data(), count(mq));
    ct_mul_mod(out, difference.view(), p_inv_q, q.r.view());
}

// m0 in [0, n) lifted to the signed plaintext: m0 - n above half_n, m0
// otherwise, chosen by mask. The plaintext is the result the key holder
// reveals, but its size is found without a branch too: the caller reveals it.
WipedInteger signed_plaintext(LimbSpan m0, const mpz_class& n, const mpz_class& half_n) {
    const std::size_t w = mpz_size(n.get_mpz_t());
    const auto size = static_cast<mp_size_t>(w);
    WipedLimbs modulus(w), half(w), negated(w), unused(w);
    pad(n, modulus);
    pad(half_n, half);
    mpn_sub_n(negated.data(), modulus.data(), m0.data(), size);
    const mp_limb_t above = mpn_sub_n(unused.data(), half.data(), m0.data(), size);
    mpn_cnd_swap(above, m0.data(), negated.data(), size);
    WipedInteger m;
    std::copy_n(m0.begin(), w, mpz_limbs_write(m.get_mpz_t(), size));
    ct_limbs_finish(m.get_mpz_t(), w, above);
    return m;
}

// The plaintext from both powers: the halves, the CRT recombination
// m0 = mp + p t < n (the carry out of the low limbs goes into the rest) and
// the sign.
WipedInteger plaintext_from_powers(const SecretKeyRecord& sk, WipedLimbs& xp, WipedLimbs& xq,
                                   const PrimeShare& p, const PrimeShare& q) {
    WipedLimbs mp(p.width), mq(q.width), t(q.width), p_inv_q(q.width);
    pad(sk.p_inv_q, p_inv_q);
    half_from_power(xp, p, mp.span());
    half_from_power(xq, q, mq.span());
    crt_coefficient(mp.view(), mq.view(), q, p_inv_q.view(), t.span());
    WipedLimbs m0(p.width + q.width), scratch(mpn_sec_add_1_itch(count(t.view())));
    ct_mul_wide(m0.span(), p.r.view(), t.view());
    const mp_limb_t carry = mpn_add_n(m0.data(), m0.data(), mp.data(), count(mp.view()));
    mpn_sec_add_1(m0.data() + p.width, m0.data() + p.width, count(t.view()), carry, scratch.data());
    return signed_plaintext(m0.span(), sk.n, sk.half_n);
}

}  // namespace

bool decryptable(const SecretKeyRecord& sk, const mpz_class& c) {
    return in_range(c, sk.n_squared) && coprime_with(c, sk.n);
}

std::vector<WipedInteger> decrypt_integers(const SecretKeyRecord& sk,
                                           std::span<const mpz_class* const> ciphertexts) {
    const PrimeShare p(sk.p, sk.p_squared, sk.hp);
    const PrimeShare q(sk.q, sk.q_squared, sk.hq);
    std::vector<WipedInteger> plaintexts;
    plaintexts.reserve(ciphertexts.size());
    const std::size_t lanes = sk.engine->lanes();
    for (std::size_t begin = 0; begin < ciphertexts.size(); begin += lanes) {
        const auto group = ciphertexts.subspan(begin, std::min(lanes, ciphertexts.size() - begin));
        std::vector<WipedLimbs> powers = sk.engine->decryption_powers(group);
        for (std::size_t i = 0; i < group.size(); ++i)
            plaintexts.push_back(plaintext_from_powers(sk, powers[2 * i], powers[2 * i + 1], p, q));
    }
    return plaintexts;
}

std::optional<WipedInteger> decrypt_integer(const SecretKeyRecord& sk, const mpz_class& c) {
    if (!decryptable(sk, c)) return std::nullopt;
    const mpz_class* one[] = {&c};
    return std::move(decrypt_integers(sk, one).front());
}

}  // namespace hecrypt
