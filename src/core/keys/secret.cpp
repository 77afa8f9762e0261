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

// The plaintext from both powers: the halves, their CRT recombination
// m0 < n and the sign.
WipedInteger plaintext_from_powers(const SecretKeyRecord& sk, WipedLimbs& xp, WipedLimbs& xq,
                                   const PrimeShare& p, const PrimeShare& q) {
    WipedLimbs mp(p.width), mq(q.width), p_inv_q(q.width), m0(p.width + q.width);
    pad(sk.p_inv_q, p_inv_q);
    half_from_power(xp, p, mp.span());
    half_from_power(xq, q, mq.span());
    ct_crt(m0.span(), mp.view(), mq.view(), p.r.view(), q.r.view(), p_inv_q.view());
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
