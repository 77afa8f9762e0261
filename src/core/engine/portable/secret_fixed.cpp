// Constant time in: the prime's square, the table of powers and the exponents.
#include "core/engine/portable/engines.hpp"

namespace hecrypt {

namespace {

// One exponent per evaluation; pow_fixed_many still reads each window once
// for all the exponents of a call.
class PortableFixedPowers final : public SecretFixedPowers {
  public:
    PortableFixedPowers(const mpz_class& base, const mpz_class& square, std::size_t windows)
        : table_(build_table(base, square, windows)) {}
    PortableFixedPowers(const PortableFixedPowers&) = delete;
    PortableFixedPowers& operator=(const PortableFixedPowers&) = delete;
    // The windows and the context's limbs wipe themselves; -m^-1 mod 2^64
    // gives away the low bits of m.
    ~PortableFixedPowers() override {
        std::uint8_t* neg_inv = reinterpret_cast<std::uint8_t*>(&table_.context.neg_inv);
        wipe(std::span(neg_inv, sizeof table_.context.neg_inv));
    }

    std::size_t lanes() const override { return 1; }

    std::vector<mpz_class> powers(std::span<const Digits> exponents) const override {
        return pow_fixed_many(table_, exponents);
    }

  private:
    FixedBaseTable table_;
};

}  // namespace

std::unique_ptr<const SecretFixedPowers> portable_fixed_powers(const mpz_class& base,
                                                               const mpz_class& square,
                                                               std::size_t windows) {
    return std::make_unique<const PortableFixedPowers>(base, square, windows);
}

}  // namespace hecrypt
