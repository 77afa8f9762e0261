// Constant time in: p, q, their squares, the decryption exponents and the ciphertexts' residues.
#include <algorithm>

#include "core/engine/ifma/engines.hpp"
#include "core/engine/ifma/pow8.hpp"
#include "core/engine/ifma/secret_fixed.hpp"
#include "core/support/ct.hpp"

namespace hecrypt {

namespace {

// The two exponentiations of decryption laid out for the lanes: p^2 in the
// even lanes and q^2 in the odd ones, with p - 1 and q - 1 as their
// exponents, so that a ciphertext's two halves run side by side and four
// ciphertexts fill the lanes.
struct DecryptionLanes {
    IfmaContext context;
    ExponentWords8 exponents;
    std::size_t exponent_bits;

    DecryptionLanes(IfmaContext c, ExponentWords8 e, std::size_t bits)
        : context(std::move(c)), exponents(std::move(e)), exponent_bits(bits) {}
};

DecryptionLanes decryption_lanes(const mpz_class& p, const mpz_class& q) {
    const WipedInteger p_squared = p * p, q_squared = q * q, p_minus_1 = p - 1, q_minus_1 = q - 1;
    Values8 moduli;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) moduli[l] = l % 2 == 0 ? p_squared : q_squared;
    const std::size_t words =
        std::max(mpz_size(p_minus_1.get_mpz_t()), mpz_size(q_minus_1.get_mpz_t()));
    ExponentWords8 exponents(words);
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        const mpz_class& e = l % 2 == 0 ? p_minus_1 : q_minus_1;
        for (std::size_t j = 0; j < words; ++j)
            exponents[j].lane[l] = mpz_getlimbn(e.get_mpz_t(), static_cast<mp_size_t>(j));
    }
    return DecryptionLanes(IfmaContext(moduli), std::move(exponents), GMP_NUMB_BITS * words);
}

// c mod r^2 as a number, by ct_reduce on a copy of c at the width of n^2.
mpz_class reduced(LimbView c, const PrimePower& s, std::size_t wide) {
    WipedLimbs x(wide);
    std::ranges::copy(c, x.span().begin());
    ct_reduce(x.span(), s.square.view());
    mpz_class out;
    std::copy_n(x.data(), s.square_width,
                mpz_limbs_write(out.get_mpz_t(), static_cast<mp_size_t>(s.square_width)));
    ct_limbs_finish(out.get_mpz_t(), s.square_width);
    return out;
}

// n and n^2 are public: unlike the products of the primes on their way to
// them, they need no wiping.
std::size_t width_of_n_squared(const mpz_class& n) {
    const mpz_class n_squared = n * n;
    return mpz_size(n_squared.get_mpz_t());
}

// Four ciphertexts at a time, both powers of each in two lanes.
class IfmaSecretEngine final : public SecretEngine {
  public:
    IfmaSecretEngine(const mpz_class& p, const mpz_class& q)
        : lanes_(decryption_lanes(p, q)), p_(p), q_(q), wide_(width_of_n_squared(p * q)) {}

    std::size_t lanes() const override { return IFMA_LANES / 2; }

    // Four ciphertexts fill the eight lanes; but while a batch has fewer
    // groups of four than there are workers, pairs, which run on four lanes
    // in about two thirds of the time, keep more workers busy and end the
    // batch sooner.
    std::size_t group_size(std::size_t len, std::size_t workers) const override {
        const std::size_t full_groups = (len + lanes() - 1) / lanes();
        return full_groups < workers ? lanes() / 2 : lanes();
    }

    // (x_p, x_q) of ciphertext i are the results of lanes 2i and 2i + 1.
    std::vector<WipedLimbs> decryption_powers(std::span<const mpz_class* const> cs) const override {
        ensure(cs.size() <= lanes(), "more ciphertexts than lanes");
        Values8 bases;
        for (std::size_t i = 0; i < cs.size(); ++i) {
            bases[2 * i] = reduced(limbs_of(*cs[i]), p_, wide_);
            bases[2 * i + 1] = reduced(limbs_of(*cs[i]), q_, wide_);
        }
        // One or two ciphertexts fill no more than four lanes, which run at
        // the narrow width in about half the time.
        const LaneCount count = 2 * cs.size() <= 4 ? LaneCount::Four : LaneCount::Eight;
        const Values8 powers =
            ifma_pow_values8(lanes_.context, bases, lanes_.exponents, lanes_.exponent_bits, count);
        std::vector<WipedLimbs> out;
        for (std::size_t i = 0; i < 2 * cs.size(); ++i) {
            out.emplace_back((i % 2 == 0 ? p_ : q_).square_width);
            write_limbs(powers[i], out.back().span());
        }
        return out;
    }

    std::unique_ptr<const SecretFixedPowers> fixed_powers(const mpz_class& base,
                                                          const mpz_class& square,
                                                          std::size_t windows) const override {
        return ifma_fixed_powers(base, square, windows);
    }

  private:
    DecryptionLanes lanes_;
    PrimePower p_, q_;
    std::size_t wide_;  // limbs of n^2
};

}  // namespace

std::shared_ptr<const SecretEngine> ifma_secret_engine(const mpz_class& p, const mpz_class& q) {
    return std::make_shared<const IfmaSecretEngine>(p, q);
}

}  // namespace hecrypt
