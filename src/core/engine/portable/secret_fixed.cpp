#include "core/engine/portable/secret_fixed.hpp"

namespace hecrypt {

namespace {

void wipe_bytes(void* data, std::size_t size) {
    wipe(std::span(static_cast<std::uint8_t*>(data), size));
}

void wipe_limbs(Limbs& limbs) { wipe_bytes(limbs.data(), limbs.size() * sizeof(mp_limb_t)); }

// One exponent per evaluation; pow_fixed_many still reads each window once
// for all the exponents of a call.
class PortableFixedPowers final : public SecretFixedPowers {
  public:
    PortableFixedPowers(const mpz_class& base, const mpz_class& square, std::size_t windows)
        : table_(build_table(base, square, windows)) {}
    PortableFixedPowers(const PortableFixedPowers&) = delete;
    PortableFixedPowers& operator=(const PortableFixedPowers&) = delete;
    ~PortableFixedPowers() override { wipe_table(table_); }

    std::size_t lanes() const override { return 1; }

    std::vector<mpz_class> powers(std::span<const Digits> exponents) const override {
        return pow_fixed_many(table_, exponents);
    }

  private:
    FixedBaseTable table_;
};

}  // namespace

void wipe_table(FixedBaseTable& table) {
    for (Limbs& window : table.windows) wipe_limbs(window);
    MontContext& ctx = table.context;
    for (Limbs* limbs : {&ctx.modulus, &ctx.r_squared, &ctx.one}) wipe_limbs(*limbs);
    wipe_bytes(&ctx.neg_inv, sizeof ctx.neg_inv);
}

std::unique_ptr<const SecretFixedPowers> portable_fixed_powers(const mpz_class& base,
                                                               const mpz_class& square,
                                                               std::size_t windows) {
    return std::make_unique<const PortableFixedPowers>(base, square, windows);
}

}  // namespace hecrypt
