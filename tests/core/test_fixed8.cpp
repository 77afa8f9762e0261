#include <gtest/gtest.h>

#include "core/engine/ifma/fixed8.hpp"
#include "engines.hpp"
#include "fault_text.hpp"
#include "key_fixtures.hpp"
#include "numbers.hpp"

namespace hecrypt {
namespace {

using testing::fault_text;

// Both tables of one base and modulus, as a key of `bits` bits has them.
struct Tables {
    FixedBaseTable portable;
    IfmaFixedBaseTable lanes;
    std::size_t exponent_bytes;
};

Tables tables_for(const mpz_class& base, const mpz_class& n) {
    const std::size_t b = exponent_byte_count(bit_length(n));
    const mpz_class m = n * n;
    FixedBaseTable portable = build_table(base, m, (8 * b + 4) / 6);
    IfmaFixedBaseTable lanes = build_table8(portable, m);
    return {std::move(portable), std::move(lanes), b};
}

struct KeyCase {
    const char* name;
    unsigned bits;

    friend void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }
};

// The 2048- and 3072-bit moduli are the known keys'; no 4096-bit key is
// kept, and the table does not care whether n factors into safe primes.
const Tables& tables(unsigned bits) {
    static const Tables t2048 = [] {
        const auto& pk = testing::known_keypair_2048().public_key;
        return tables_for(pk.n + 2, pk.n);
    }();
    static const Tables t3072 = [] {
        const mpz_class n = testing::modulus_3072();
        return tables_for(n - 5, n);
    }();
    static const Tables t4096 = [] {
        gmp_randclass rng(gmp_randinit_default);
        rng.seed(4096);
        const mpz_class n = testing::random_odd(rng, 4096);
        return tables_for(rng.get_z_bits(4000), n);
    }();
    return bits == 2048 ? t2048 : bits == 3072 ? t3072 : t4096;
}

class FixedBase8 : public ::testing::TestWithParam<KeyCase> {
  protected:
    void SetUp() override { HECRYPT_SKIP_WITHOUT_IFMA(); }
    const Tables& t() const { return tables(GetParam().bits); }

    void expect_lanes_match(const Digits8& digits) const {
        const Values8 got = pow_fixed8(t().lanes, digits);
        for (std::size_t l = 0; l < IFMA_LANES; ++l)
            EXPECT_EQ(got[l], pow_fixed(t().portable, digits[l])) << "lane " << l;
    }
};

Digits8 random_digits(gmp_randclass& rng, std::size_t bytes) {
    Digits8 digits;
    for (Digits& lane : digits) lane = exponent_digits(testing::random_bytes(rng, bytes));
    return digits;
}

TEST_P(FixedBase8, RandomExponentsMatchThePortableTableLaneByLane) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(GetParam().bits);
    for (int round = 0; round < 3; ++round)
        expect_lanes_match(random_digits(rng, t().exponent_bytes));
}

TEST_P(FixedBase8, EveryDigitZeroAndEveryDigitSixtyThree) {
    const std::size_t windows = t().lanes.windows.size();
    Digits8 digits;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) digits[l] = Digits(windows, l % 2 ? 63 : 0);
    expect_lanes_match(digits);
    const Values8 got = pow_fixed8(t().lanes, digits);
    EXPECT_EQ(got[0], 1);
}

TEST_P(FixedBase8, EachLaneKeepsItsOwnEntryOfOneWindow) {
    // Lane l takes entry 8 g + l of window 0 in round g: every entry, and
    // each of the eight vectors of a digit position, reaches every lane.
    for (std::uint8_t g = 0; g < 8; ++g) {
        Digits8 digits;
        for (std::size_t l = 0; l < IFMA_LANES; ++l)
            digits[l] = {static_cast<std::uint8_t>((8 * g + 9 * l) % 64), 0, 1};
        expect_lanes_match(digits);
    }
}

TEST_P(FixedBase8, IdleAndShortLanes) {
    // An empty lane gives 1; a shorter lane counts its missing digits as 0.
    Digits8 digits;
    digits[3] = Digits(t().lanes.windows.size(), 17);
    digits[5] = {1};
    digits[6] = {0, 1};
    const Values8 got = pow_fixed8(t().lanes, digits);
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(got[3], pow_fixed(t().portable, digits[3]));
    EXPECT_EQ(got[5], pow_fixed(t().portable, {1}));
    EXPECT_EQ(got[6], pow_fixed(t().portable, {0, 1}));
}

TEST_P(FixedBase8, RefusesWhatThePortableTableRefuses) {
    Digits8 wide;
    wide[7] = {64};
    EXPECT_EQ(fault_text([&] { pow_fixed8(t().lanes, wide); }),
              "an exponent digit does not fit a 6-bit window");
    Digits8 longer;
    const std::size_t windows = t().lanes.windows.size();
    longer[2] = Digits(windows + 1, 0);
    EXPECT_EQ(fault_text([&] { pow_fixed8(t().lanes, longer); }),
              "the exponent has " + std::to_string(windows + 1) + " digits and the table has " +
                  std::to_string(windows) + " windows");
}

INSTANTIATE_TEST_SUITE_P(Keys, FixedBase8,
                         ::testing::Values(KeyCase{"n2048", 2048}, KeyCase{"n3072", 3072},
                                           KeyCase{"n4096", 4096}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hecrypt
