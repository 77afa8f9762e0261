#include <gtest/gtest.h>

#include "core/engine/ifma/convert.hpp"
#include "engines.hpp"
#include "fault_text.hpp"
#include "numbers.hpp"

namespace hecrypt {
namespace {

using testing::fault_text;
using testing::ModulusCase;
using testing::power_of_two;
using testing::random_odd;

std::vector<ModulusCase> moduli() {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(52);
    const auto square = [&](unsigned bits) {
        const mpz_class p = random_odd(rng, bits);
        return mpz_class(p * p);
    };
    return {
        {"three", 3, 1},
        {"largest_one_digit", power_of_two(50) - 1, 1},
        // 51 bits leave no room for 4m in one digit: the top digit is zero.
        {"top_digit_zero", power_of_two(50) + 1, 2},
        {"top_digit_zero_wide", power_of_two(52 * 79 - 1) - 1, 80},
        {"top_digit_one", power_of_two(52 * 39) + 1, 40},
        // 4m just below R: the tightest case of the [0, 2m) bound.
        {"all_ones_tight", power_of_two(52 * 20 - 2) - 1, 20},
        {"p512_squared", square(512), 20},
        {"p1024_squared", square(1024), 40},
        {"p1536_squared", square(1536), 60},
        {"n2048_squared", square(2048), 79},
        {"n3072_squared", square(3072), 119},
        {"n4096_squared", square(4096), 158},
        {"n8192_squared", square(8192), 316},
    };
}

Lanes8 lanes_of(const IfmaContext& ctx, const Values8& xs) {
    Lanes8 v(ctx.width);
    for (std::size_t l = 0; l < IFMA_LANES; ++l) write_lane(v, l, xs[l]);
    return v;
}

Values8 values_of(LaneView v) {
    Values8 xs;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) xs[l] = read_lane(v, l);
    return xs;
}

class IfmaLayout : public ::testing::TestWithParam<ModulusCase> {
  protected:
    const mpz_class& m = GetParam().m;
    IfmaContext ctx{m};
};

TEST_P(IfmaLayout, ContextShape) {
    const std::size_t k = ctx.width;
    EXPECT_EQ(k, GetParam().width);
    // The least width with 4m < R.
    EXPECT_LT(4 * m, power_of_two(52 * k));
    EXPECT_GE(4 * m, power_of_two(52 * (k - 1)));
    const mpz_class r = power_of_two(52 * k) % m;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        EXPECT_EQ(read_lane(ctx.modulus, l), m);
        EXPECT_EQ((ctx.modulus[0].lane[l] * ctx.neg_inv.get().lane[l]) & IFMA_DIGIT_MASK,
                  IFMA_DIGIT_MASK);
        EXPECT_EQ(read_lane(ctx.one, l), r);
        EXPECT_EQ(read_lane(ctx.r_squared, l), r * r % m);
    }
}

TEST_P(IfmaLayout, LanesHoldTheirOwnValues) {
    const std::size_t bits = 52 * ctx.width;
    const mpz_class top = power_of_two(bits) - 1;
    const Values8 xs = {0, 1, top, m, m - 1, top >> 1, power_of_two(bits - 1), power_of_two(51)};
    EXPECT_EQ(values_of(lanes_of(ctx, xs)), xs);
    Lanes8 v(ctx.width);
    // Aligned loads fault on anything less.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % 64, 0u);
    EXPECT_EQ(fault_text([&] { write_lane(v, 3, top + 1); }), "not enough capacity");
    EXPECT_EQ(fault_text([&] { write_lane(v, 3, -1); }), "not enough capacity");
}

INSTANTIATE_TEST_SUITE_P(Moduli, IfmaLayout, ::testing::ValuesIn(moduli()),
                         [](const auto& info) { return std::string(info.param.name); });

// The kernels at both widths: with LaneCount::Four, lanes 4 to 7 of every
// output must come back as they were.
class IfmaKernel : public ::testing::TestWithParam<std::tuple<ModulusCase, LaneCount>> {
  protected:
    const mpz_class& m = std::get<0>(GetParam()).m;
    const LaneCount lanes = std::get<1>(GetParam());
    const std::size_t active = lanes == LaneCount::Four ? 4 : IFMA_LANES;
    IfmaContext ctx{m};

    void SetUp() override {
        HECRYPT_SKIP_WITHOUT_IFMA();
        rng.seed(static_cast<unsigned long>(ctx.width));
        r_inverse = power_of_two(52 * ctx.width);
        mpz_invert(r_inverse.get_mpz_t(), r_inverse.get_mpz_t(), m.get_mpz_t());
    }

    // Eight values below `bound` (2m, the kernels' range, by default): the
    // edges first, then random ones.
    Values8 operands(std::initializer_list<mpz_class> edges, const mpz_class& bound = 0) {
        Values8 xs;
        std::size_t l = 0;
        for (const mpz_class& x : edges) xs[l++] = x;
        for (; l < IFMA_LANES; ++l) xs[l] = rng.get_z_range(bound != 0 ? bound : 2 * m);
        return xs;
    }

    // Every active lane congruent to its wanted value and inside [0, 2m),
    // the others as they were before the call.
    void expect_montgomery(const Values8& got, const Values8& wanted, const Values8& before) {
        for (std::size_t l = 0; l < active; ++l) {
            EXPECT_LT(got[l], 2 * m) << "lane " << l;
            EXPECT_EQ(got[l] % m, wanted[l] % m) << "lane " << l;
        }
        expect_untouched(got, before);
    }

    void expect_untouched(const Values8& got, const Values8& before) {
        for (std::size_t l = active; l < IFMA_LANES; ++l) EXPECT_EQ(got[l], before[l]) << l;
    }

    IfmaScratch scratch{ctx};
    gmp_randclass rng{gmp_randinit_default};
    mpz_class r_inverse;
};

TEST_P(IfmaKernel, MulAndSqrMatchGmp) {
    const mpz_class top = 2 * m - 1;
    const Values8 xs = operands({0, 1, m - 1, top, top, m});
    const Values8 ys = operands({top, top, m - 1, top, 1, m - 1});
    const Lanes8 a = lanes_of(ctx, xs);
    Lanes8 product = lanes_of(ctx, ys), square = a, square_by_mul(ctx.width);
    ifma_mont_mul8(ctx, a, product, product, scratch, lanes);  // in place of the right operand
    ifma_mont_sqr8(ctx, square, square, scratch, lanes);
    ifma_mont_mul8(ctx, a, a, square_by_mul, scratch, lanes);
    Values8 wanted_product, wanted_square;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        wanted_product[l] = xs[l] * ys[l] * r_inverse % m;
        wanted_square[l] = xs[l] * xs[l] * r_inverse % m;
    }
    expect_montgomery(values_of(product), wanted_product, ys);
    expect_montgomery(values_of(square), wanted_square, xs);
    // The reduction depends only on the column sums' value, so both agree exactly.
    const Values8 squares = values_of(square), by_mul = values_of(square_by_mul);
    for (std::size_t l = 0; l < active; ++l) EXPECT_EQ(squares[l], by_mul[l]) << l;
    expect_untouched(by_mul, Values8{});
}

TEST_P(IfmaKernel, ConversionsAreExact) {
    const mpz_class below_r = power_of_two(52 * ctx.width) - 1;
    const Values8 xs = operands({0, 1, m - 1, 2 % m}, m);
    EXPECT_EQ(ifma_from_mont8(ctx, ifma_to_mont8(ctx, xs, scratch), scratch), xs);
    Values8 ones;
    ones.fill(1);
    EXPECT_EQ(ifma_from_mont8(ctx, ctx.one, scratch), ones);
    // Up to R - 1 enters; the Montgomery forms themselves are in [0, 2m).
    const Values8 wide = {below_r, below_r - m, 0, m, 1, 2, 3, below_r >> 1};
    Values8 wanted;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) wanted[l] = (wide[l] << (52 * ctx.width)) % m;
    const Values8 entered = values_of(ifma_to_mont8(ctx, wide, scratch));
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        EXPECT_LT(entered[l], 2 * m) << l;
        EXPECT_EQ(entered[l] % m, wanted[l]) << l;
    }
}

TEST_P(IfmaKernel, ReduceTakesEveryValueBelowTwoM) {
    const Values8 xs = {0, 1, m - 1, m, m + 1, 2 * m - 1, rng.get_z_range(2 * m), m - 1};
    Lanes8 a = lanes_of(ctx, xs);
    ifma_reduce8(ctx, a, scratch, lanes);
    const Values8 got = values_of(a);
    for (std::size_t l = 0; l < active; ++l) EXPECT_EQ(got[l], xs[l] % m) << l;
    expect_untouched(got, xs);
}

// 200 products by each lane's own base, then a left-to-right power with a
// random public exponent (squarings and products interleaved), against GMP.
TEST_P(IfmaKernel, ChainsMatchPowm) {
    const Values8 bases = operands({m - 1, 2 % m}, m);
    const Lanes8 base = ifma_to_mont8(ctx, bases, scratch);
    Lanes8 acc = base;
    for (int i = 0; i < 200; ++i) ifma_mont_mul8(ctx, acc, base, acc, scratch, lanes);
    const mpz_class e = rng.get_z_bits(160) | 1, chain = 201;
    Lanes8 power = base;
    for (std::size_t bit = bit_length(e) - 1; bit-- > 0;) {
        ifma_mont_sqr8(ctx, power, power, scratch, lanes);
        if (mpz_tstbit(e.get_mpz_t(), bit)) ifma_mont_mul8(ctx, power, base, power, scratch, lanes);
    }
    const Values8 chained = ifma_from_mont8(ctx, acc, scratch);
    const Values8 powered = ifma_from_mont8(ctx, power, scratch);
    mpz_class want;
    for (std::size_t l = 0; l < active; ++l) {
        mpz_powm(want.get_mpz_t(), bases[l].get_mpz_t(), chain.get_mpz_t(), m.get_mpz_t());
        EXPECT_EQ(chained[l], want) << "lane " << l;
        mpz_powm(want.get_mpz_t(), bases[l].get_mpz_t(), e.get_mpz_t(), m.get_mpz_t());
        EXPECT_EQ(powered[l], want) << "lane " << l;
    }
    expect_untouched(chained, bases);
    expect_untouched(powered, bases);
}

INSTANTIATE_TEST_SUITE_P(Moduli, IfmaKernel,
                         ::testing::Combine(::testing::ValuesIn(moduli()),
                                            ::testing::Values(LaneCount::Eight, LaneCount::Four)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == LaneCount::Four ? "_four" : "");
                         });

TEST(IfmaFaults, ContextRefusesWhatItCannotServe) {
    for (const mpz_class& m : {mpz_class(0), mpz_class(-3), mpz_class(4)})
        EXPECT_EQ(fault_text([&] { IfmaContext{m}; }), "the modulus must be odd and positive");
    EXPECT_EQ(fault_text([&] { IfmaContext{power_of_two(IFMA_MAX_MODULUS_BITS) + 1}; }),
              "the modulus is too long for the IFMA engine");
    EXPECT_EQ(fault_text([&] { IfmaContext{power_of_two(IFMA_MAX_MODULUS_BITS) - 1}; }),
              "<no fault>");
}

TEST(IfmaFaults, KernelsCheckWidths) {
    HECRYPT_SKIP_WITHOUT_IFMA();
    const IfmaContext ctx(power_of_two(100) + 1);
    IfmaScratch scratch(ctx), small(IfmaContext(3));
    Lanes8 ok(ctx.width), narrow(ctx.width - 1);
    const auto mul = [&](LaneView a, LaneView b, LaneSpan out, IfmaScratch& s) {
        return fault_text([&] { ifma_mont_mul8(ctx, a, b, out, s); });
    };
    EXPECT_EQ(mul(narrow, ok, ok, scratch), "left operand has the wrong width");
    EXPECT_EQ(mul(ok, narrow, ok, scratch), "right operand has the wrong width");
    EXPECT_EQ(mul(ok, ok, narrow, scratch), "output has the wrong width");
    EXPECT_EQ(mul(ok, ok, ok, small), "scratch has the wrong width");
    EXPECT_EQ(fault_text([&] { ifma_mont_sqr8(ctx, narrow, ok, scratch); }),
              "operand has the wrong width");
    EXPECT_EQ(fault_text([&] { ifma_reduce8(ctx, narrow, scratch); }),
              "operand has the wrong width");
}

}  // namespace
}  // namespace hecrypt
