// Constant time in: the prime's square, the table of powers and the exponents.
#include <iterator>

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
    // The windows and the context wipe themselves.

    std::size_t lanes() const override { return 1; }

    std::vector<WipedInteger> powers(std::span<const Digits> exponents) const override {
        std::vector<mpz_class> powers = pow_fixed_many(table_, exponents);
        return {std::make_move_iterator(powers.begin()), std::make_move_iterator(powers.end())};
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
