#include "core/keys/secret.hpp"

#include <gmp.h>

#include <algorithm>

#include "core/encoding/blob.hpp"
#include "core/support/ct.hpp"
#include "core/engine/ifma/cpu.hpp"
#include "core/engine/portable/mont.hpp"

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
    WipedLimbs r, r_squared, r_minus_1, h;

    PrimeShare(const mpz_class& prime, const mpz_class& square, const mpz_class& minus_1,
               const mpz_class& constant)
        : width(mpz_size(prime.get_mpz_t())),
          square_width(mpz_size(square.get_mpz_t())),
          r(width),
          r_squared(square_width),
          r_minus_1(width),
          h(width) {
        pad(prime, r);
        pad(square, r_squared);
        pad(minus_1, r_minus_1);
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

// c^(r-1) mod r^2 on the portable engine, at the width of r^2.
WipedLimbs power_portable(LimbView c, const PrimeShare& s) {
    WipedLimbs x(s.square_width);
    ct_pow_limbs(x.span(), c, s.r_minus_1.view(), GMP_NUMB_BITS * s.width, s.r_squared.view());
    return x;
}

// m0 in [0, n) lifted to the signed plaintext: m0 - n above half_n, m0
// otherwise, chosen by mask. The plaintext is the result the key holder
// reveals, but its size is found without a branch too: the caller reveals it.
mpz_class signed_plaintext(LimbSpan m0, const mpz_class& n, const mpz_class& half_n) {
    const std::size_t w = mpz_size(n.get_mpz_t());
    const auto size = static_cast<mp_size_t>(w);
    WipedLimbs modulus(w), half(w), negated(w), unused(w);
    pad(n, modulus);
    pad(half_n, half);
    mpn_sub_n(negated.data(), modulus.data(), m0.data(), size);
    const mp_limb_t above = mpn_sub_n(unused.data(), half.data(), m0.data(), size);
    mpn_cnd_swap(above, m0.data(), negated.data(), size);
    mpz_class m;
    std::copy_n(m0.begin(), w, mpz_limbs_write(m.get_mpz_t(), size));
    ct_limbs_finish(m.get_mpz_t(), w, above);
    return m;
}

// c mod r^2 as a number, by ct_reduce on a copy of c at the width of n^2.
mpz_class reduced(LimbView c, const PrimeShare& s, std::size_t wide) {
    WipedLimbs x(wide);
    std::ranges::copy(c, x.span().begin());
    ct_reduce(x.span(), s.r_squared.view());
    mpz_class out;
    std::copy_n(x.data(), s.square_width,
                mpz_limbs_write(out.get_mpz_t(), static_cast<mp_size_t>(s.square_width)));
    ct_limbs_finish(out.get_mpz_t(), s.square_width);
    return out;
}

// Both powers of every ciphertext, two lanes each: (x_p, x_q) of ciphertext
// i are the results of lanes 2i and 2i + 1.
std::vector<WipedLimbs> powers_in_lanes(const SecretKeyRecord& sk, const DecryptionLanes& lanes,
                                        std::span<const mpz_class* const> cs, const PrimeShare& p,
                                        const PrimeShare& q) {
    const std::size_t wide = mpz_size(sk.n_squared.get_mpz_t());
    Values8 bases;
    for (std::size_t i = 0; i < cs.size(); ++i) {
        bases[2 * i] = reduced(limbs_of(*cs[i]), p, wide);
        bases[2 * i + 1] = reduced(limbs_of(*cs[i]), q, wide);
    }
    Values8 powers =
        ifma_pow_values8(lanes.context, bases, lanes.exponents, lanes.exponent_bits);
    std::vector<WipedLimbs> out;
    for (std::size_t i = 0; i < 2 * cs.size(); ++i) {
        out.emplace_back((i % 2 == 0 ? p : q).square_width);
        pad(powers[i], out.back());
    }
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        wipe(bases[l]);
        wipe(powers[l]);
    }
    return out;
}

// The plaintext from both powers: the halves, their CRT recombination
// m0 < n and the sign.
mpz_class plaintext_from_powers(const SecretKeyRecord& sk, WipedLimbs& xp, WipedLimbs& xq,
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

std::vector<mpz_class> decrypt_integers(const SecretKeyRecord& sk,
                                        std::span<const mpz_class* const> ciphertexts) {
    const PrimeShare p(sk.p, sk.p_squared, sk.p_minus_1, sk.hp);
    const PrimeShare q(sk.q, sk.q_squared, sk.q_minus_1, sk.hq);
    std::vector<mpz_class> plaintexts;
    plaintexts.reserve(ciphertexts.size());
    for (std::size_t begin = 0; begin < ciphertexts.size(); begin += DECRYPTION_GROUP) {
        const auto group = ciphertexts.subspan(
            begin, std::min(DECRYPTION_GROUP, ciphertexts.size() - begin));
        std::vector<WipedLimbs> powers;
        if (sk.lanes8) {
            powers = powers_in_lanes(sk, *sk.lanes8, group, p, q);
        } else {
            for (const mpz_class* c : group) {
                powers.push_back(power_portable(limbs_of(*c), p));
                powers.push_back(power_portable(limbs_of(*c), q));
            }
        }
        for (std::size_t i = 0; i < group.size(); ++i)
            plaintexts.push_back(plaintext_from_powers(sk, powers[2 * i], powers[2 * i + 1], p, q));
    }
    return plaintexts;
}

std::optional<mpz_class> decrypt_integer(const SecretKeyRecord& sk, const mpz_class& c) {
    if (!decryptable(sk, c)) return std::nullopt;
    const mpz_class* one[] = {&c};
    return std::move(decrypt_integers(sk, one).front());
}

std::optional<DecryptionLanes> decryption_lanes(const SecretKeyRecord& sk) {
    if (!use_ifma() || std::max(bit_length(sk.p_squared), bit_length(sk.q_squared)) >
                           IFMA_MAX_MODULUS_BITS)
        return std::nullopt;
    Values8 moduli;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) moduli[l] = l % 2 == 0 ? sk.p_squared : sk.q_squared;
    const std::size_t words =
        std::max(mpz_size(sk.p_minus_1.get_mpz_t()), mpz_size(sk.q_minus_1.get_mpz_t()));
    ExponentWords8 exponents(words);
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        const mpz_class& e = l % 2 == 0 ? sk.p_minus_1 : sk.q_minus_1;
        for (std::size_t j = 0; j < words; ++j)
            exponents[j].lane[l] = mpz_getlimbn(e.get_mpz_t(), static_cast<mp_size_t>(j));
    }
    DecryptionLanes lanes(IfmaContext(moduli), std::move(exponents), GMP_NUMB_BITS * words);
    for (mpz_class& m : moduli) wipe(m);
    return lanes;
}

}  // namespace hecrypt
