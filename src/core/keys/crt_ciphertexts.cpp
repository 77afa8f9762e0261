// Constant time in: the primes, everything made from them, the residues and the plaintexts.
#include "core/keys/crt_ciphertexts.hpp"

#include <gmp.h>

#include <algorithm>

#include "core/support/ct.hpp"

namespace hecrypt {

namespace {

WipedLimbs limbs_at_width(const mpz_class& x, std::size_t width) {
    WipedLimbs out(width);
    write_limbs(x, out.span());
    return out;
}

WipedLimbs limbs_of_size(const mpz_class& x) { return limbs_at_width(x, mpz_size(x.get_mpz_t())); }

// (p^2)^-1 mod q^2 from p^-1 mod q: v = (p^-1)^2 inverts p^2 modulo q, and
// one Newton step, v (2 - p^2 v), lifts that to q^2. Only ct_mul_mod and
// masked additions touch the primes.
WipedLimbs square_inverse(const SecretKeyRecord& sk) {
    const WipedLimbs p_squared = limbs_of_size(sk.p_squared);
    const WipedLimbs q_squared = limbs_of_size(sk.q_squared);
    const std::size_t wq = mpz_size(sk.q.get_mpz_t()), w = q_squared.view().size();
    const WipedLimbs q = limbs_at_width(sk.q, wq), p_inv_q = limbs_at_width(sk.p_inv_q, wq);
    WipedLimbs v(w), reduced(std::max(p_squared.view().size(), w)), pv(w), twice(w);
    ct_mul_mod(v.span().first(wq), p_inv_q.view(), p_inv_q.view(), q.view());
    std::ranges::copy(p_squared.view(), reduced.span().begin());
    ct_reduce(reduced.span(), q_squared.view());
    ct_mul_mod(pv.span(), reduced.view().first(w), v.view(), q_squared.view());
    // 2 - p^2 v mod q^2: p^2 v is 1 mod q, so it is 1 or above 2, and one
    // masked addition of q^2 brings the difference into range.
    twice.span()[0] = 2;
    ct_sub_mod(twice.span(), twice.view(), pv.view(), q_squared.view());
    WipedLimbs inverse(w);
    ct_mul_mod(inverse.span(), v.view(), twice.view(), q_squared.view());
    return inverse;
}

// x 2^(64 e) mod m for x below m at the width of m, e counted in limbs.
WipedLimbs shifted(LimbView x, std::size_t e, LimbView m) {
    WipedLimbs power(m.size()), out(m.size());
    ct_pow2_mod(power.span(), GMP_NUMB_BITS * e, m);
    ct_mul_mod(out.span(), x, power.view(), m);
    return out;
}

// s 2^(64 e) mod r, e counted in limbs.
WipedLimbs other_prime_constant(const MontContext& r, const mpz_class& s, std::size_t e) {
    return shifted(residue_limbs(s, r.modulus).view(), e, r.modulus);
}

// Limbs of the difference b - a + s 2^(64 j) that Recombination::join
// reduces: the multiple of s starts a limb past the top of every a, and one
// more limb takes the sum's carry.
std::size_t difference_width(std::size_t wr, std::size_t ws) { return std::max(ws, wr + 1) + 1; }

}  // namespace

// r^-1 2^(64 d) mod s, d the difference's width: the reduction of the
// difference times it, which divides by 2^(64 d), leaves (b - a) r^-1.
Recombination::Recombination(const mpz_class& r, const mpz_class& s, LimbView r_inv_s)
    : r_(limbs_of_size(r)),
      s_(s),
      r_inv_s_(shifted(r_inv_s, difference_width(r_.view().size(), s_.width), s_.modulus)) {}

// t = (b - a) r^-1 mod s from D = b - a + s 2^(64 j) with s 2^(64 j) above
// a and D below 2^(64 d): D times r^-1 2^(64 d) mod s is below s 2^(64 d),
// so one Montgomery reduction of d limbs leaves t itself. Then x = a + r t,
// below r (s - 1) + r, and the carry out of a's limbs goes into the rest.
void Recombination::join(LimbSpan out, LimbView a, LimbView b, MontScratch& scratch) const {
    const std::size_t wr = width_r(), ws = width_s(), d = difference_width(wr, ws);
    ensure(a.size() == wr && b.size() == ws && out.size() == wr + ws,
           "an operand has the wrong width");
    const auto dn = static_cast<mp_size_t>(d);
    WipedLimbs difference(d), term(d), product(d + ws), t(ws);
    std::ranges::copy(s_.modulus, difference.span().end() - static_cast<std::ptrdiff_t>(ws + 1));
    std::ranges::copy(b, term.span().begin());
    mpn_add_n(difference.data(), difference.data(), term.data(), dn);
    std::ranges::fill(std::ranges::copy(a, term.span().begin()).out, term.span().end(), 0);
    mpn_sub_n(difference.data(), difference.data(), term.data(), dn);
    ct_mul_wide(product.span(), difference.view(), r_inv_s_.view());
    mont_reduce(s_, product.span(), t.span(), scratch);
    ct_mul_wide(out, r_.view(), t.view());
    const auto n = static_cast<mp_size_t>(ws);
    const mp_limb_t carry = mpn_add_n(out.data(), out.data(), a.data(), static_cast<mp_size_t>(wr));
    WipedLimbs add_scratch(static_cast<std::size_t>(mpn_sec_add_1_itch(n)));
    mpn_sec_add_1(out.data() + wr, out.data() + wr, n, carry, add_scratch.data());
}

// s R^3 2^(64 e) mod r, e the limbs |m| is reduced at past the width of r:
// apply() divides by R three times and by 2^(64 e) once.
PlaintextFactor::PlaintextFactor(const mpz_class& r, const mpz_class& r_squared, const mpz_class& s,
                                 std::size_t m_width)
    : r_(r),
      square_(limbs_of_size(r_squared)),
      m_width_(std::max(m_width, r_.width)),
      other_(other_prime_constant(r_, s, 2 * r_.width + m_width_)) {}

// u = x R^-1 and a = |m| 2^(-64 e) (below R, which is all a Montgomery
// product asks of its b), then x |m| s = u a (s R^3 2^(64 e)) R^-2, all
// modulo r; negated modulo r for a negative m, as r minus it, in (0, r];
// then x + r times that, below 2 r^2, less r^2 where it reaches it.
void PlaintextFactor::apply(LimbSpan out, LimbView x, LimbView m_abs, mp_limb_t negative,
                            MontScratch& scratch) const {
    const std::size_t k = width(), wide = square_width();
    ensure(x.size() == wide && out.size() == wide && m_abs.size() <= m_width_,
           "an operand has the wrong width");
    WipedLimbs x_wide(2 * k), m_wide(m_width_), reduced(k), m_reduced(k), product(k), w(k);
    WipedLimbs negated(k), multiple(2 * k), spare(wide);
    std::ranges::copy(x, x_wide.span().begin());
    std::ranges::copy(m_abs, m_wide.span().begin());
    mont_reduce(r_, x_wide.span(), reduced.span(), scratch);
    mont_reduce(r_, m_wide.span(), m_reduced.span(), scratch);
    mont_mul(r_, reduced.view(), m_reduced.view(), product.span(), scratch);
    mont_mul(r_, product.view(), other_.view(), w.span(), scratch);
    const auto n = static_cast<mp_size_t>(k);
    mpn_sub_n(negated.data(), r_.modulus.data(), w.data(), n);
    mpn_cnd_swap(negative, w.data(), negated.data(), n);
    ct_mul(multiple.data(), r_.modulus.data(), w.data(), k, scratch.multiply.data());
    ct_add_mod(out, x, multiple.view().first(wide), square_.view(), spare.span());
}

CrtCiphertexts::CrtCiphertexts(const SecretKeyRecord& sk)
    : p_(sk.p, sk.p_squared, sk.q, mpz_size(sk.n.get_mpz_t())),
      q_(sk.q, sk.q_squared, sk.p, mpz_size(sk.n.get_mpz_t())),
      squares_(sk.p_squared, sk.q_squared, square_inverse(sk).view()),
      n_width_(mpz_size(sk.n.get_mpz_t())),
      n_squared_width_(mpz_size(sk.n_squared.get_mpz_t())) {}

std::vector<WipedLimbs> CrtCiphertexts::ciphertexts(
    std::span<const WipedInteger> x_p, std::span<const WipedInteger> x_q,
    std::span<const WipedInteger> plaintexts) const {
    ensure(x_p.size() == plaintexts.size() && x_q.size() == plaintexts.size(),
           "residues and plaintexts differ in number");
    MontScratch at_p(p_.width()), at_q(q_.width()), at_q_squared(squares_.width_s());
    WipedLimbs xp(p_.square_width()), xq(q_.square_width()), m(n_width_);
    WipedLimbs cp(p_.square_width()), cq(q_.square_width());
    WipedLimbs joined(squares_.width_r() + squares_.width_s());
    std::vector<WipedLimbs> out;
    out.reserve(plaintexts.size());
    for (std::size_t i = 0; i < plaintexts.size(); ++i) {
        ct_read_signed(x_p[i], xp.span());
        ct_read_signed(x_q[i], xq.span());
        const mp_limb_t negative = ct_read_signed(plaintexts[i], m.span()) & 1;
        p_.apply(cp.span(), xp.view(), m.view(), negative, at_p);
        q_.apply(cq.span(), xq.view(), m.view(), negative, at_q);
        squares_.join(joined.span(), cp.view(), cq.view(), at_q_squared);
        // The ciphertext is below n^2: the limbs past its width are zero.
        std::ranges::copy(joined.view().first(n_squared_width_),
                          out.emplace_back(n_squared_width_).data());
    }
    return out;
}

}  // namespace hecrypt
