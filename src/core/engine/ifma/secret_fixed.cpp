// Constant time in: the prime's square, the table of powers and the exponents.
#include "core/engine/ifma/secret_fixed.hpp"

#include <iterator>

#include "core/engine/ifma/fixed8.hpp"

namespace hecrypt {

namespace {

// The 8-lane table, made from the portable one, which wipes itself when
// dropped here: the two are never held together longer than that.
IfmaFixedBaseTable lanes_table(const mpz_class& base, const mpz_class& square,
                               std::size_t windows) {
    return build_table8(build_table(base, square, windows), square);
}

// Eight exponents per evaluation, one in each lane; pow_fixed8_many reads
// each window once for all the sets of a call.
class IfmaFixedPowers final : public SecretFixedPowers {
  public:
    IfmaFixedPowers(const mpz_class& base, const mpz_class& square, std::size_t windows)
        : table_(lanes_table(base, square, windows)) {}
    IfmaFixedPowers(const IfmaFixedPowers&) = delete;
    IfmaFixedPowers& operator=(const IfmaFixedPowers&) = delete;
    // The table and its context wipe themselves.

    std::size_t lanes() const override { return IFMA_LANES; }

    // The idle lanes of the last set raise the base to 0; their powers are
    // dropped.
    std::vector<WipedInteger> powers(std::span<const Digits> exponents) const override {
        std::vector<Digits8> sets((exponents.size() + IFMA_LANES - 1) / IFMA_LANES);
        for (std::size_t i = 0; i < exponents.size(); ++i)
            sets[i / IFMA_LANES][i % IFMA_LANES] = exponents[i];
        std::vector<WipedInteger> out;
        for (Values8& set : pow_fixed8_many(table_, sets))
            std::ranges::move(set, std::back_inserter(out));
        out.resize(exponents.size());
        return out;
    }

  private:
    IfmaFixedBaseTable table_;
};

}  // namespace

std::unique_ptr<const SecretFixedPowers> ifma_fixed_powers(const mpz_class& base,
                                                           const mpz_class& square,
                                                           std::size_t windows) {
    return std::make_unique<const IfmaFixedPowers>(base, square, windows);
}

}  // namespace hecrypt
