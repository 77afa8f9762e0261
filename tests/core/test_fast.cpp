#include <gtest/gtest.h>

#include <map>

#include "core/engine/portable/fast.hpp"
#include "fault_text.hpp"
#include "numbers.hpp"

namespace hecrypt {
namespace {

using testing::fault_text;
using testing::powm;
using testing::random_bytes;

// A table over n^2 for a random odd n, with one window per digit of an
// exponent of half the bits of n, as a key of that size carries.
struct Engine {
    mpz_class base, m;
    std::size_t exponent_bytes;
    FixedBaseTable table;
};

Engine make_engine(unsigned n_bits) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(n_bits);
    const mpz_class n = testing::random_odd(rng, n_bits);
    const mpz_class m = n * n, base = rng.get_z_range(m);
    const std::size_t bytes = n_bits / 16;
    return {base, m, bytes, build_table(base, m, (8 * bytes + 4) / 6)};
}

// Tables are costly at these sizes: each is built once for the whole run.
const Engine& engine(unsigned n_bits) {
    static std::map<unsigned, Engine> built;
    auto found = built.find(n_bits);
    if (found == built.end()) found = built.emplace(n_bits, make_engine(n_bits)).first;
    return found->second;
}

class PowFixed : public ::testing::TestWithParam<unsigned> {
  protected:
    const Engine& e = engine(GetParam());
};

TEST_P(PowFixed, AgreesWithPowmOnFullLengthExponents) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(GetParam() + 1);
    std::vector<Bytes> exponents{Bytes(e.exponent_bytes, 0xFF)};
    for (int i = 0; i < 4; ++i) exponents.push_back(random_bytes(rng, e.exponent_bytes));
    for (const Bytes& exponent : exponents) {
        const Digits digits = exponent_digits(exponent);
        ASSERT_EQ(digits.size(), e.table.windows.size());
        EXPECT_EQ(pow_fixed(e.table, digits), powm(e.base, from_bytes_be(exponent), e.m));
    }
}

TEST_P(PowFixed, ShortDigitListsUseTheLowWindows) {
    EXPECT_EQ(pow_fixed(e.table, {}), 1);
    EXPECT_EQ(pow_fixed(e.table, {0, 0, 0}), 1);
    EXPECT_EQ(pow_fixed(e.table, {1}), e.base);
    EXPECT_EQ(pow_fixed(e.table, {0, 1}), powm(e.base, 64, e.m));
    EXPECT_EQ(pow_fixed(e.table, {63, 63}), powm(e.base, 4095, e.m));
}

TEST_P(PowFixed, DigitsTheTableCannotServeAreFaults) {
    const std::size_t windows = e.table.windows.size();
    const Digits wide{3, 64};
    EXPECT_EQ(fault_text([&] { pow_fixed(e.table, wide); }),
              "an exponent digit does not fit a 6-bit window");
    EXPECT_EQ(fault_text([&] { pow_fixed(e.table, Digits(windows + 1)); }),
              "the exponent has " + std::to_string(windows + 1) + " digits and the table has " +
                  std::to_string(windows) + " windows");
}

INSTANTIATE_TEST_SUITE_P(KeySizes, PowFixed, ::testing::Values(2048u, 3072u));

TEST(FixedBaseTable, BaseIsReducedIntoTheModulus) {
    // 17 limbs: the selection runs one full group of lanes and a tail.
    const mpz_class m = (mpz_class(1) << 1060) + 1000003;
    for (const mpz_class& base : {mpz_class(-2), mpz_class(3 * m + 5), mpz_class(0)}) {
        const FixedBaseTable table = build_table(base, m, 3);
        EXPECT_EQ(pow_fixed(table, {5, 0, 2}), powm(base, 5 + 2 * 64 * 64, m)) << base;
    }
}

TEST(FixedBaseTable, NoWindowsAcceptsOnlyTheEmptyExponent) {
    const FixedBaseTable table = build_table(7, 101, 0);
    EXPECT_EQ(pow_fixed(table, {}), 1);
    EXPECT_EQ(fault_text([&] { pow_fixed(table, {0}); }),
              "the exponent has 1 digits and the table has 0 windows");
}

TEST(ExponentDigits, SplitBigEndianBytesLeastSignificantDigitFirst) {
    EXPECT_EQ(exponent_digits(Bytes{}), Digits{});
    EXPECT_EQ(exponent_digits(Bytes{0x01, 0x02}), (Digits{2, 4, 0}));
    EXPECT_EQ(exponent_digits(Bytes{0xAB, 0xCD, 0xEF}), (Digits{0x2F, 0x37, 0x3C, 0x2A}));
    EXPECT_EQ(exponent_digits(Bytes(128, 0xFF)).back(), 15);
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(5);
    for (std::size_t length : {1, 2, 3, 127, 128}) {
        const Bytes exponent = random_bytes(rng, length);
        const Digits digits = exponent_digits(exponent);
        EXPECT_EQ(digits.size(), (8 * length + 5) / 6);
        mpz_class sum;
        for (std::size_t j = digits.size(); j-- > 0;) sum = sum * 64 + digits[j];
        EXPECT_EQ(sum, from_bytes_be(exponent)) << length;
    }
}

}  // namespace
}  // namespace hecrypt
