#include <gmpxx.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/support/ct.hpp"
#include "fault_text.hpp"
#include "numbers.hpp"

namespace hecrypt {
namespace {

using testing::fault_text;
using testing::from_limbs;
using testing::powm;
using LimbVector = std::vector<mp_limb_t>;

constexpr mp_limb_t ONES = ~mp_limb_t{0};
constexpr mp_limb_t TOP = mp_limb_t{1} << 63;

LimbVector limbs_of(const mpz_class& x, std::size_t width) {
    LimbVector out(width);
    std::copy_n(mpz_limbs_read(x.get_mpz_t()), mpz_size(x.get_mpz_t()), out.begin());
    return out;
}

// Every pair of values that differ only in the lowest or only in the top
// bit, and of the extremes, where a wrong shift or sign in the mask
// arithmetic shows.
TEST(ConstantTimeMasks, EqualityOrderAndSelection) {
    const mp_limb_t values[] = {0, 1, 2, 62, 63, 64, TOP - 1, TOP, TOP + 1, ONES - 1, ONES};
    for (mp_limb_t x : values) {
        for (mp_limb_t y : values) {
            const mp_limb_t equal = x == y ? ONES : 0;
            EXPECT_EQ(ct_eq_mask(x, y), equal) << x << " " << y;
            EXPECT_EQ(ct_nonzero_mask(x ^ y), ~equal) << x << " " << y;
            EXPECT_EQ(ct_select(equal, x, ~y), x == y ? x : ~y);
            EXPECT_EQ(ct_lt_mask(x, y), x < y ? ONES : 0) << x << " " << y;
        }
    }
}

// Widths around the 16-limb lanes the selection reads side by side, so both
// the vector chunks and the limb-by-limb tail are covered for every index.
TEST(ConstantTimeTable, SelectsEveryEntryAtEveryWidth) {
    for (std::size_t width : {1u, 15u, 16u, 17u, 33u, 64u}) {
        LimbVector table(CT_TABLE_ENTRIES * width);
        for (std::size_t i = 0; i < table.size(); ++i) table[i] = (i * 0x9e3779b97f4a7c15u) | 1;
        CtMasks masks{};
        for (mp_limb_t index = 0; index < CT_TABLE_ENTRIES; ++index) {
            ct_index_masks(index, masks);
            EXPECT_EQ(std::count(masks.begin(), masks.end(), ONES), 1);
            LimbVector out(width, ONES);
            ct_select_entry(table.data(), masks, out.data(), width);
            const auto first = table.begin() + static_cast<std::ptrdiff_t>(index * width);
            ASSERT_EQ(out, LimbVector(first, first + static_cast<std::ptrdiff_t>(width)))
                << "width " << width << ", index " << index;
        }
    }
}

// Operands that stress the sign and carry bookkeeping: all-ones halves make
// every difference and carry extreme, zeros and equal halves make them vanish.
enum class Fill { Random, Ones, Zeros, EqualHalves };

std::vector<mp_limb_t> operand(std::size_t n, Fill fill, gmp_randclass& rng) {
    std::vector<mp_limb_t> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        mpz_class r = rng.get_z_bits(64);
        x[i] = fill == Fill::Ones    ? ~mp_limb_t{0}
               : fill == Fill::Zeros ? 0
                                     : mpz_getlimbn(r.get_mpz_t(), 0);
    }
    if (fill == Fill::EqualHalves) std::copy_n(x.begin(), n / 2, x.begin() + (n + 1) / 2);
    return x;
}

TEST(ConstantTimeMultiply, AgreesWithGmpAtEveryWidthAndShape) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(11);
    const Fill fills[] = {Fill::Random, Fill::Ones, Fill::Zeros, Fill::EqualHalves};
    for (std::size_t n : {1u, 2u, 15u, 16u, 23u, 24u, 25u, 32u, 48u, 64u, 96u, 128u}) {
        for (Fill fa : fills) {
            for (Fill fb : fills) {
                auto a = operand(n, fa, rng), b = operand(n, fb, rng);
                std::vector<mp_limb_t> got(2 * n), want(2 * n), scratch(ct_mul_scratch(n));
                ct_mul(got.data(), a.data(), b.data(), n, scratch.data());
                mpn_mul_n(want.data(), a.data(), b.data(), static_cast<mp_size_t>(n));
                ASSERT_EQ(got, want) << "n=" << n;
            }
        }
    }
}

// Moduli with a full and a nearly empty top limb; operands at the edges of
// the range and products that reduce by many multiples of m.
TEST(ConstantTimeMulMod, AgreesWithGmp) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(5);
    const mpz_class moduli[] = {3, mpz_class(ONES), (mpz_class(1) << 64) + 1,
                                (rng.get_z_bits(4096) | 1) | (mpz_class(1) << 4095),
                                rng.get_z_bits(3000) | 1 | (mpz_class(1) << 3000)};
    for (const mpz_class& m : moduli) {
        const std::size_t w = mpz_size(m.get_mpz_t());
        const mpz_class operands[] = {0, 1, m - 1, rng.get_z_range(m), rng.get_z_range(m)};
        for (const mpz_class& a : operands) {
            for (const mpz_class& b : operands) {
                LimbVector out(w, ONES);
                ct_mul_mod(out, limbs_of(a, w), limbs_of(b, w), limbs_of(m, w));
                ASSERT_EQ(from_limbs(out), a * b % m) << "m=" << m << " a=" << a << " b=" << b;
            }
        }
    }
}

// The exponent at the ends of its stated width, a base wider than the
// modulus (as in decryption, c modulo p^2) and a modulus of one limb.
TEST(SecurePowMod, AgreesWithGmp) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(9);
    const mpz_class wide = rng.get_z_bits(2048) | 1 | (mpz_class(1) << 2047);
    const mpz_class m_cases[] = {wide, wide * wide, mpz_class(ONES)};
    for (const mpz_class& m : m_cases) {
        const mpz_class bases[] = {1, 2, m - 1, m + 7, rng.get_z_bits(2 * bit_length(m))};
        for (const mpz_class& base : bases) {
            for (mp_bitcnt_t bits : {1u, 64u, 66u, 1024u}) {
                const mpz_class top = (mpz_class(1) << bits) - 1;
                for (const mpz_class& e : {mpz_class(1), top, mpz_class(top / 3 + 1)}) {
                    ASSERT_EQ(secure_pow_mod(base, e, bits, m), powm(base, e, m))
                        << "bits " << bits << " e=" << e;
                }
            }
        }
    }
}

TEST(SecurePowMod, FaultsOnWhatItCannotCompute) {
    const mpz_class m = 1000003;
    EXPECT_EQ(fault_text([&] { secure_pow_mod(2, 0, 8, m); }), "exponent not greater than zero");
    EXPECT_EQ(fault_text([&] { secure_pow_mod(2, -3, 8, m); }), "exponent not greater than zero");
    EXPECT_EQ(fault_text([&] { secure_pow_mod(2, 3, 8, m + 1); }), "modulo not odd");
    EXPECT_EQ(fault_text([&] { secure_pow_mod(0, 3, 8, m); }), "base not greater than zero");
    EXPECT_EQ(fault_text([&] { secure_pow_mod(2, mpz_class(1) << 64, 64, m); }),
              "the exponent is wider than its bit count");
    const LimbVector one_limb{3}, modulus{1000003};
    LimbVector out(1);
    EXPECT_EQ(fault_text([&] { ct_pow_limbs(out, one_limb, one_limb, 65, modulus); }),
              "the exponent is wider than its limbs");
}

// |x| at a fixed width whatever its length: limbs past x's length that GMP
// still holds (a value that shrank) are dropped, not copied, and the limbs
// that do not fit come back OR-ed together.
TEST(ConstantTimeCopyLimbs, CopiesTheValueAndReportsWhatDoesNotFit) {
    struct Case {
        mpz_class x;
        std::size_t width;
        bool fits;
    };
    const mpz_class big = from_limbs(LimbVector{ONES, ONES, ONES, 5});
    const Case cases[] = {
        {0, 1, true},   {0, 0, true},    {7, 3, true},         {-7, 2, true},
        {big, 4, true}, {big, 3, false}, {big >> 64, 3, true}, {mpz_class(1) << 64, 1, false}};
    for (const Case& c : cases) {
        mpz_class x = c.x;
        if (c.x == big >> 64) {  // leaves the old top limb in GMP's block, past the size
            x = big;
            x >>= 64;
        }
        LimbVector out(c.width, ONES);
        const mp_limb_t excess = ct_copy_limbs(x, out);
        EXPECT_EQ(excess == 0, c.fits) << c.x;
        if (c.fits) {
            EXPECT_EQ(from_limbs(out), abs(c.x)) << c.x;
        }
    }
}

// Same size and value as GMP's own mpz_limbs_finish, for zero, values whose
// top limbs are zero, interior zero limbs and both signs.
TEST(ConstantTimeLimbsFinish, MatchesGmp) {
    const LimbVector patterns[] = {{0},       {1},       {0, 0, 0},    {7, 0, 0},
                                   {0, 0, 9}, {0, 5, 0}, {ONES, 0, 1}, {1, 0, 0, 0, TOP}};
    for (const LimbVector& limbs : patterns) {
        for (mp_limb_t negative : {0u, 1u}) {
            const auto width = static_cast<mp_size_t>(limbs.size());
            mpz_class ours, gmp;
            std::copy(limbs.begin(), limbs.end(), mpz_limbs_write(ours.get_mpz_t(), width));
            std::copy(limbs.begin(), limbs.end(), mpz_limbs_write(gmp.get_mpz_t(), width));
            ct_limbs_finish(ours.get_mpz_t(), limbs.size(), negative);
            mpz_limbs_finish(gmp.get_mpz_t(), negative ? -width : width);
            EXPECT_EQ(ours.get_mpz_t()->_mp_size, gmp.get_mpz_t()->_mp_size);
            EXPECT_EQ(ours, gmp);
        }
    }
}

}  // namespace
}  // namespace hecrypt
