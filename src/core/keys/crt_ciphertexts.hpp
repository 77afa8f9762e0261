// The key holder's ciphertexts from their residues: (1 + m n) x mod n^2 for
// the x given by x mod p^2 and x mod q^2 (the mask hs^r of crt_masks.hpp).
//
// The plaintext's factor is applied to each residue before they are joined.
// For a prime r of the key and the other prime s, n = r s, so
// 1 + m n = 1 + r (m s) mod r^2 and x (1 + m n) = x + r (x m s mod r)
// mod r^2: Montgomery products modulo r, at a quarter of the width of n^2,
// where a product costs a sixteenth of one modulo n^2. One recombination by
// Garner's formula, its product modulo q^2 a single Montgomery reduction,
// then gives the ciphertext.
//
// Secret: the primes, their squares and every constant made from them, the
// residues, and the plaintext, whose size is not revealed either.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/engine/portable/mont.hpp"
#include "core/keys/keys.hpp"

namespace hecrypt {

// The x < r s with given residues modulo coprime r and s, by Garner's
// formula x = a + r ((b - a) r^-1 mod s).
class Recombination {
  public:
    // r_inv_s = r^-1 mod s, at the width of s.
    Recombination(const mpz_class& r, const mpz_class& s, LimbView r_inv_s);

    std::size_t width_r() const { return r_.view().size(); }
    std::size_t width_s() const { return s_.width; }

    // out (|r| + |s| limbs) = the x < r s with x = a mod r and x = b mod s,
    // for a < r at the width of r and b < s at the width of s. The scratch is
    // for the width of s.
    void join(LimbSpan out, LimbView a, LimbView b, MontScratch& scratch) const;

  private:
    WipedLimbs r_;
    MontContext s_;
    WipedLimbs r_inv_s_;  // r^-1 2^(64 d) mod s, d the limbs of the difference b - a
};

// The factor 1 + m n modulo the square of one prime r of the key.
class PlaintextFactor {
  public:
    // r, its square, the other prime s, and the most limbs |m| has.
    PlaintextFactor(const mpz_class& r, const mpz_class& r_squared, const mpz_class& s,
                    std::size_t m_width);

    std::size_t width() const { return r_.width; }
    std::size_t square_width() const { return square_.view().size(); }

    // out = x (1 + m n) mod r^2 for x < r^2, both at the width of r^2, and
    // m given as |m| (at most m_width limbs) and `negative`, 1 when m < 0 and 0 when
    // not. The scratch is for the width of r.
    void apply(LimbSpan out, LimbView x, LimbView m_abs, mp_limb_t negative,
               MontScratch& scratch) const;

  private:
    MontContext r_;
    WipedLimbs square_;    // r^2
    std::size_t m_width_;  // limbs |m| is reduced at, at least those of r
    WipedLimbs other_;     // s R^3 2^(64 (m_width_ - |r|)) mod r
};

class CrtCiphertexts {
  public:
    explicit CrtCiphertexts(const SecretKeyRecord& sk);

    // (1 + m n) x mod n^2 at the width of n^2 for each i, x being given by
    // x_p[i] = x mod p^2 and x_q[i] = x mod q^2, and m by plaintexts[i]
    // (|m| below n).
    std::vector<WipedLimbs> ciphertexts(std::span<const WipedInteger> x_p,
                                        std::span<const WipedInteger> x_q,
                                        std::span<const WipedInteger> plaintexts) const;

  private:
    PlaintextFactor p_, q_;
    Recombination squares_;  // over p^2 and q^2
    std::size_t n_width_, n_squared_width_;
};

}  // namespace hecrypt
