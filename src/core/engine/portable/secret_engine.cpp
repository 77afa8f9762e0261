// Constant time in: p, q, their squares, the decryption exponents and the ciphertexts' residues.
#include "core/engine/portable/engines.hpp"
#include "core/support/ct.hpp"

namespace hecrypt {

namespace {

// One ciphertext at a time, each power by GMP's side-channel silent
// mpn_sec_powm at the width of r^2.
class PortableSecretEngine final : public SecretEngine {
  public:
    PortableSecretEngine(const mpz_class& p, const mpz_class& q) : p_(p), q_(q) {}

    std::size_t lanes() const override { return 1; }
    std::size_t group_size(std::size_t, std::size_t) const override { return 1; }

    std::vector<WipedLimbs> decryption_powers(
        std::span<const mpz_class* const> ciphertexts) const override {
        std::vector<WipedLimbs> out;
        for (const mpz_class* c : ciphertexts) {
            out.push_back(power(limbs_of(*c), p_));
            out.push_back(power(limbs_of(*c), q_));
        }
        return out;
    }

    std::unique_ptr<const SecretFixedPowers> fixed_powers(const mpz_class& base,
                                                          const mpz_class& square,
                                                          std::size_t windows) const override {
        return portable_fixed_powers(base, square, windows);
    }

  private:
    // c^(r-1) mod r^2, at the width of r^2.
    static WipedLimbs power(LimbView c, const PrimePower& s) {
        WipedLimbs x(s.square_width);
        ct_pow_limbs(x.span(), c, s.exponent.view(), GMP_NUMB_BITS * s.width, s.square.view());
        return x;
    }

    PrimePower p_, q_;
};

}  // namespace

std::shared_ptr<const SecretEngine> portable_secret_engine(const mpz_class& p, const mpz_class& q) {
    return std::make_shared<const PortableSecretEngine>(p, q);
}

}  // namespace hecrypt
