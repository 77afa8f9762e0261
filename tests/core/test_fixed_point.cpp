#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <ostream>

#include "core/encoding/fixed_point.hpp"
#include "numbers.hpp"
#include "value_of.hpp"

namespace hecrypt {
namespace {

using testing::power_of_two;
using testing::value_of;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

// The exact integer of a finite integral double, taken from its significand
// and exponent rather than through GMP's double conversion.
mpz_class integer_of(double y) {
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(y), &exponent);
    const mpz_class significand = static_cast<long>(std::ldexp(fraction, 53));
    const mpz_class magnitude = exponent >= 53
                                    ? mpz_class(significand * power_of_two(exponent - 53))
                                    : mpz_class(significand / power_of_two(53 - exponent));
    return y < 0 ? mpz_class(-magnitude) : magnitude;
}

struct EncodeCase {
    double value;
    unsigned scale;
    std::string expected;  // the integer, or the refusal
};

void PrintTo(const EncodeCase& c, std::ostream* out) { *out << c.value << " at scale " << c.scale; }

class EncodeValue : public ::testing::TestWithParam<EncodeCase> {};

// The double product rounded half away from zero; a refusal names the value
// and the factor in shortest form.
TEST_P(EncodeValue, RoundsTheDoubleProductOrRefuses) {
    const auto& c = GetParam();
    const Outcome<mpz_class> m = encode_value(c.value, scale_factor(c.scale));
    EXPECT_EQ(m.ok() ? m.value().get_str() : m.refusal(), c.expected);
}

const std::string NOT_FINITE =
    " is not finite: NaN and infinities have no encoding, and turning them into zero would put "
    "a plausible number into the sum";

INSTANTIATE_TEST_SUITE_P(
    Table, EncodeValue,
    ::testing::Values(
        EncodeCase{0.125, 2, "13"}, EncodeCase{-0.125, 2, "-13"}, EncodeCase{2.5, 0, "3"},
        EncodeCase{-2.5, 0, "-3"}, EncodeCase{1.5, 0, "2"}, EncodeCase{-1.5, 0, "-2"},
        EncodeCase{0.49999999999999994, 0, "0"},  // adding 0.5 would give 1
        EncodeCase{1.005, 2, "100"},              // product is 100.49999999999999
        EncodeCase{-0.0, 8, "0"}, EncodeCase{4e-9, 8, "0"}, EncodeCase{-1e-300, 18, "0"},
        EncodeCase{123.456, 8, "12345600000"},
        EncodeCase{NOT_A_NUMBER, 8, "value NaN" + NOT_FINITE},
        EncodeCase{-NOT_A_NUMBER, 8, "value NaN" + NOT_FINITE},
        EncodeCase{INF, 0, "value inf" + NOT_FINITE},
        EncodeCase{-INF, 8, "value -inf" + NOT_FINITE},
        EncodeCase{1e300, 18, "value 1e300 overflows to infinity once scaled by 1e18"},
        EncodeCase{-DBL_MAX, 1,
                   "value -1.7976931348623157e308 overflows to infinity once scaled by 1e1"}));

TEST(EncodeValueExact, HugeValuesBecomeTheExactIntegerOfTheDouble) {
    const mpz_class dbl_max = (power_of_two(53) - 1) * power_of_two(971);
    for (double v : {1e300, -1e300, DBL_MAX, -DBL_MAX, 0x1p1023}) {
        EXPECT_EQ(value_of(encode_value(v, 1.0)), integer_of(v)) << v;
    }
    EXPECT_EQ(encode_value(DBL_MAX, 1.0).value(), dbl_max);
    EXPECT_EQ(decimal_text(dbl_max).size(), 309u);
    EXPECT_EQ(decimal_text(integer_of(1e300)).size(), 301u);
}

// The conversion of a rounded double, at both ends of every limb boundary the
// shifts cross, the largest finite double, both zeros and negative values.
class IntegerOfDouble : public ::testing::TestWithParam<double> {};

TEST_P(IntegerOfDouble, IsTheExactIntegerWithItsSign) {
    for (double y : {GetParam(), -GetParam()}) {
        const mpz_class x = integer_of_double(y);
        EXPECT_EQ(x, integer_of(y)) << y;
        EXPECT_EQ(mpz_size(x.get_mpz_t()), mpz_size(integer_of(y).get_mpz_t())) << y;
    }
}

INSTANTIATE_TEST_SUITE_P(LimbEdges, IntegerOfDouble,
                         ::testing::Values(0.0, 1.0, 3.0, 0x1p52, 0x1p52 + 1, 0x1p53 - 1, 0x1p53,
                                           0x1p63, 0x1.fffffffffffffp63, 0x1p64,
                                           0x1.0000000000001p64, 0x1p116, 0x1p117, 0x1.8p127,
                                           0x1p128, 1e19, 1.8e19, 1e300, DBL_MAX));

TEST(ScaleFactor, RefusesPastTheLimit) {
    EXPECT_THROW(scale_factor(MAX_SCALE_POW10 + 1), InternalFault);
    EXPECT_EQ(scale_limit_message(19),
              "scale exponent 19 is above the 18 this encoding allows: past that even a value of "
              "one has no exact f64 representation once scaled");
}

TEST(PlaintextBound, TruncatesAndAcceptsItsOwnMagnitude) {
    EXPECT_EQ(plaintext_bound(mpz_class(2097152 * 5 + 2097151)), 5);
    const mpz_class n = power_of_two(2048) - 159;  // any 2048-bit modulus
    const mpz_class bound = plaintext_bound(n);
    EXPECT_EQ(mpz_sizeinbase(bound.get_mpz_t(), 2), 2027u);
    EXPECT_LE(bound * SUM_HEADROOM_TERMS, (n - 1) / 2);

    EXPECT_TRUE(check_plaintext_bound(bound, bound, 1.0).ok());
    EXPECT_TRUE(check_plaintext_bound(-bound, bound, 1.0).ok());
    const std::string message =
        "plaintext -2.5e-7 is outside the signed group of this key once room for a sum of 1048576 "
        "terms is reserved. At the 2048-bit floor no f64 can reach this bound, so seeing this "
        "means the key or the scale changed";
    for (const mpz_class& m : {mpz_class(bound + 1), mpz_class(-bound - 1)}) {
        const auto status = check_plaintext_bound(m, bound, -2.5e-7);
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.refusal(), message);
    }
}

TEST(DecimalText, PlainDigitsWithSign) {
    EXPECT_EQ(decimal_text(0), "0");
    EXPECT_EQ(decimal_text(-1), "-1");
    EXPECT_EQ(decimal_text(power_of_two(64)), "18446744073709551616");
    EXPECT_EQ(decimal_text(-power_of_two(64)), "-18446744073709551616");
}

TEST(DecodeFloat, RoundsToNearestEvenThenDividesByTheScale) {
    const mpz_class two_53 = power_of_two(53);
    const mpz_class overflow_edge = power_of_two(1024) - power_of_two(970);
    const struct {
        mpz_class m;
        unsigned scale;
        double expected;
    } cases[] = {
        {two_53 + 1, 0, 0x1p53},      // tie, even neighbour below
        {two_53 + 3, 0, 0x1p53 + 4},  // tie, even neighbour above
        {-7, 1, -0.7},                // (double)-7 / 10
        {1, 18, 1e-18},
        {0, 8, 0.0},
        {overflow_edge - 1, 0, DBL_MAX},  // just below the tie with 2^1024
        {-(overflow_edge - 1), 0, -DBL_MAX},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(value_of(decode_float(c.m, c.scale)), c.expected) << decimal_text(c.m);
    }
}

TEST(DecodeFloat, RefusesWhatRoundsToInfinityWithItsDigitCount) {
    const mpz_class overflow_edge = power_of_two(1024) - power_of_two(970);
    mpz_class ten_to_400;
    mpz_ui_pow_ui(ten_to_400.get_mpz_t(), 10, 400);
    const struct {
        mpz_class m;
        const char* digits;
    } cases[] = {{overflow_edge, "309"},
                 {-overflow_edge, "309"},
                 {power_of_two(1024), "309"},
                 {ten_to_400, "401"}};
    for (const auto& c : cases) {
        // The scale does not rescue a plaintext that is too wide as an integer.
        const auto x = decode_float(c.m, MAX_SCALE_POW10);
        ASSERT_FALSE(x.ok()) << decimal_text(c.m);
        EXPECT_EQ(x.refusal(), std::string("plaintext of ") + c.digits +
                                   " digits does not fit a float: the sum has outgrown the "
                                   "encoding, and returning a finite number here would hide that");
    }
}

TEST(FormatExponential, ShortestDigitsWithPlainExponent) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {1e300, "1e300"},       {1e8, "1e8"},
        {-2.5e-7, "-2.5e-7"},   {0.1, "1e-1"},
        {123.456, "1.23456e2"}, {1.0, "1e0"},
        {5e-324, "5e-324"},     {DBL_MAX, "1.7976931348623157e308"},
        {0.0, "0e0"},           {-0.0, "-0e0"},
        {NOT_A_NUMBER, "NaN"},  {INF, "inf"},
        {-INF, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_exponential(c.value), c.text);
}

}  // namespace
}  // namespace hecrypt
