#include <gtest/gtest.h>

#include "core/engine/portable/mont.hpp"
#include "fault_text.hpp"
#include "numbers.hpp"

namespace hecrypt {
namespace {

using testing::fault_text;
using testing::from_limbs;
using testing::ModulusCase;
using testing::power_of_two;
using testing::random_odd;

std::vector<ModulusCase> moduli() {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(41);
    const mpz_class n2048 = random_odd(rng, 2048), n3072 = random_odd(rng, 3072);
    return {
        {"one", 1, 1},
        {"all_ones_limb", power_of_two(64) - 1, 1},
        {"top_limb_one", power_of_two(64) + 1, 2},
        // m close to R makes the reduction carry out of the top limb.
        {"all_ones_4_limbs", power_of_two(256) - 1, 4},
        {"n2048_squared", n2048 * n2048, 64},
        {"n3072_squared", n3072 * n3072, 96},
    };
}

class Mont : public ::testing::TestWithParam<ModulusCase> {
  protected:
    Mont() { rng.seed(7); }

    const mpz_class& m = GetParam().m;
    MontContext ctx{m};
    MontScratch scratch{ctx.width};
    gmp_randclass rng{gmp_randinit_default};

    mpz_class below_m() { return rng.get_z_range(m); }
};

TEST_P(Mont, ContextShape) {
    EXPECT_EQ(ctx.width, GetParam().width);
    EXPECT_EQ(ctx.modulus[0] * ctx.neg_inv, ~mp_limb_t{0});
    EXPECT_EQ(from_limbs(ctx.one), power_of_two(64 * ctx.width) % m);
    EXPECT_EQ(from_mont(ctx, ctx.one, scratch), 1 % m);
}

TEST_P(Mont, MulMatchesDefinitionAndIsReduced) {
    mpz_class r_inverse;
    mpz_invert(r_inverse.get_mpz_t(), power_of_two(64 * ctx.width).get_mpz_t(), m.get_mpz_t());
    const mpz_class top = m - 1;
    std::vector<std::pair<mpz_class, mpz_class>> operands = {{0, top}, {1, top}, {top, top}};
    for (int i = 0; i < 8; ++i) operands.emplace_back(below_m(), below_m());
    Limbs a(ctx.width), b(ctx.width), out(ctx.width);
    for (const auto& [x, y] : operands) {
        write_limbs(x, a);
        write_limbs(y, b);
        mont_mul(ctx, a, b, out, scratch);
        EXPECT_EQ(from_limbs(out), x * y * r_inverse % m) << "x=" << x << " y=" << y;
    }
}

TEST_P(Mont, RoundTripsThroughMontgomeryForm) {
    for (const mpz_class& x : {mpz_class(0), mpz_class(m - 1), below_m(), below_m()}) {
        EXPECT_EQ(from_mont(ctx, to_mont(ctx, x, scratch), scratch), x);
    }
    const mpz_class x = below_m(), y = below_m();
    Limbs product(ctx.width);
    mont_mul(ctx, to_mont(ctx, x, scratch), to_mont(ctx, y, scratch), product, scratch);
    EXPECT_EQ(from_mont(ctx, product, scratch), x * y % m);
}

INSTANTIATE_TEST_SUITE_P(Moduli, Mont, ::testing::ValuesIn(moduli()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MontFaults, ModulusMustBeOddAndPositive) {
    for (const mpz_class& m : {mpz_class(0), mpz_class(-3), mpz_class(4), power_of_two(64)}) {
        EXPECT_EQ(fault_text([&] { MontContext{m}; }), "n^2 is odd: n is a product of odd primes");
    }
}

TEST(MontFaults, WriteLimbsPadsOrRefusesToTruncate) {
    Limbs buffer(3, ~mp_limb_t{0});
    write_limbs(power_of_two(64) + 5, buffer);
    EXPECT_EQ(buffer, (Limbs{5, 1, 0}));
    EXPECT_EQ(fault_text([&] { write_limbs(power_of_two(192), buffer); }), "not enough capacity");
}

}  // namespace
}  // namespace hecrypt
