#include <gtest/gtest.h>

#include "core/engine/ifma/pow8.hpp"
#include "engines.hpp"
#include "fault_text.hpp"

namespace hecrypt {
namespace {

// Random odd moduli of about `bits` bits, one per lane, lengths differing by
// up to a word so that lanes share a width but not a modulus.
Values8 moduli(gmp_randclass& rng, std::size_t bits) {
    Values8 m;
    for (std::size_t l = 0; l < IFMA_LANES; ++l)
        m[l] = rng.get_z_bits(bits - 8 * l) | (mpz_class(1) << (bits - 8 * l - 1)) | 1;
    return m;
}

ExponentWords8 words_of(const Values8& es, std::size_t bits) {
    ExponentWords8 w((bits + 63) / 64);
    for (std::size_t l = 0; l < IFMA_LANES; ++l)
        for (std::size_t j = 0; j < w.size(); ++j)
            w[j].lane[l] = mpz_getlimbn(es[l].get_mpz_t(), static_cast<mp_size_t>(j));
    return w;
}

struct PowCase {
    std::size_t modulus_bits, exponent_bits;
};

// Both widths; at LaneCount::Four only lanes 0 to 3 have results.
class Pow8 : public ::testing::TestWithParam<std::tuple<PowCase, LaneCount>> {};

// Edge exponents (0, 1, all ones, the top bit alone) and edge bases (0, 1,
// m - 1) among random ones, each lane against GMP.
TEST_P(Pow8, MatchesGmpLaneByLane) {
    HECRYPT_SKIP_WITHOUT_IFMA();
    const auto [modulus_bits, bits] = std::get<0>(GetParam());
    const LaneCount lanes = std::get<1>(GetParam());
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(static_cast<unsigned long>(modulus_bits + bits));
    const Values8 m = moduli(rng, modulus_bits);
    const IfmaContext ctx(m);
    const mpz_class top = (mpz_class(1) << bits) - 1;
    Values8 bases, es = {0, 1, top, mpz_class(1) << (bits - 1), top >> 1};
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        bases[l] = l < 2 ? mpz_class(l) : l == 2 ? mpz_class(m[l] - 1) : rng.get_z_range(m[l]);
        if (l >= 5) es[l] = rng.get_z_bits(bits);
    }
    const Values8 got = ifma_pow_values8(ctx, bases, words_of(es, bits), bits, lanes);
    for (std::size_t l = 0; l < (lanes == LaneCount::Four ? 4 : IFMA_LANES); ++l) {
        mpz_class want;
        mpz_powm(want.get_mpz_t(), bases[l].get_mpz_t(), es[l].get_mpz_t(), m[l].get_mpz_t());
        EXPECT_EQ(got[l], want) << "lane " << l;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, Pow8,
    ::testing::Combine(::testing::Values(PowCase{2048, 1024}, PowCase{3072, 1536},
                                         PowCase{4096, 66}, PowCase{4096, 2048}, PowCase{6144, 66},
                                         PowCase{1000, 7}, PowCase{200, 1}, PowCase{1200, 8},
                                         PowCase{1200, 53}),
                       ::testing::Values(LaneCount::Eight, LaneCount::Four)));

TEST(Pow8Checks, RefusesAnExponentWiderThanItsWords) {
    HECRYPT_SKIP_WITHOUT_IFMA();
    const IfmaContext ctx(mpz_class(1000003));
    IfmaScratch scratch(ctx);
    Lanes8 base(ctx.width), out(ctx.width);
    EXPECT_EQ(
        testing::fault_text([&] { ifma_pow8(ctx, base, ExponentWords8(1), 65, out, scratch); }),
        "the exponent width does not fit its words");
}

}  // namespace
}  // namespace hecrypt
