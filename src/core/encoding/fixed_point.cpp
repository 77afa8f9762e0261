#include "core/encoding/fixed_point.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "core/support/ct.hpp"

namespace hecrypt {

namespace {

// Half the plaintext group, shared out among the terms of the largest sum.
constexpr unsigned long PLAINTEXT_BOUND_DIVISOR = 2 * SUM_HEADROOM_TERMS;

// The double nearest to the decimal integer `text`, or infinity when it rounds
// past the largest finite double. from_chars is correctly rounded for any
// number of digits and, unlike strtod, ignores the locale.
double nearest_double(const std::string& text) {
    double x = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, x);
    ensure(stop == end, "decimal text of an integer did not read back as a number");
    if (error == std::errc::result_out_of_range) return text.front() == '-' ? -HUGE_VAL : HUGE_VAL;
    ensure(error == std::errc{}, "decimal text of an integer did not read back as a number");
    return x;
}

// Limbs of the largest finite double, below 2^1024.
constexpr std::size_t DOUBLE_LIMBS = 1024 / GMP_NUMB_BITS;

constexpr unsigned SIGNIFICAND_BITS = 52;
constexpr std::uint64_t SIGNIFICAND_MASK = (std::uint64_t{1} << SIGNIFICAND_BITS) - 1;
constexpr std::uint64_t EXPONENT_MASK = 0x7ff;
constexpr std::uint64_t UNIT_EXPONENT = 1023 + SIGNIFICAND_BITS;  // the exponent of 2^52 .. 2^53

}  // namespace

// y = s 2^(e - 1075) with s the significand and its hidden bit; limb i of the
// integer is s shifted right by t = 64 i - (e - 1075) for 0 <= t < 64, or
// left by -t for -64 < t < 0, and zero otherwise: bits of s below the point
// are dropped, which loses nothing for an integral y. Every limb is computed
// the same way, whatever y, with both shifts kept or dropped by mask.
mpz_class integer_of_double(double y) {
    const auto bits = std::bit_cast<std::uint64_t>(y);
    const mp_limb_t exponent = (bits >> SIGNIFICAND_BITS) & EXPONENT_MASK;
    const mp_limb_t hidden = ct_nonzero_mask(exponent) & (SIGNIFICAND_MASK + 1);
    const mp_limb_t significand = (bits & SIGNIFICAND_MASK) | hidden;
    mpz_class x;
    mp_limb_t* limbs = mpz_limbs_write(x.get_mpz_t(), DOUBLE_LIMBS);
    for (std::size_t i = 0; i < DOUBLE_LIMBS; ++i) {
        const mp_limb_t t = GMP_NUMB_BITS * i + UNIT_EXPONENT - exponent;
        const mp_limb_t right = (significand >> (t & 63)) & ct_lt_mask(t, 64);
        const mp_limb_t left = (significand << ((0 - t) & 63)) & ct_lt_mask(0 - t - 1, 63);
        limbs[i] = right | left;
    }
    ct_limbs_finish(x.get_mpz_t(), DOUBLE_LIMBS, bits >> 63);
    return x;
}

double scale_factor(unsigned s) {
    ensure(s <= MAX_SCALE_POW10, "scale factor asked for a scale above the limit");
    // 10^k is an exact double for k <= 22; the factors multiplied in are at
    // most 10^16 and the result at most 10^18, so nothing here rounds.
    double result = 1.0;
    double base = 10.0;
    for (unsigned bits = s; bits != 0; bits >>= 1) {
        if (bits & 1) result *= base;
        base *= base;
    }
    return result;
}

std::string scale_limit_message(unsigned s) {
    return "scale exponent " + std::to_string(s) + " is above the " +
           std::to_string(MAX_SCALE_POW10) +
           " this encoding allows: past that even a value of one has no exact f64 "
           "representation once scaled";
}

Outcome<mpz_class> encode_value(double v, double factor) {
    if (!std::isfinite(v)) {
        return refuse("value " + format_exponential(v) +
                      " is not finite: NaN and infinities have no encoding, and turning them "
                      "into zero would put a plausible number into the sum");
    }
    // The double product is what gets rounded, never the real v * factor:
    // 1.005 at scale 2 is 100.49999999999999 and becomes 100.
    const double y = std::round(v * factor);
    if (std::isinf(y)) {
        return refuse("value " + format_exponential(v) + " overflows to infinity once scaled by " +
                      format_exponential(factor));
    }
    // y is integral and finite here; its conversion looks at no bit of it
    // (a scalar may be secret). -0.0 gives 0.
    return integer_of_double(y);
}

mpz_class plaintext_bound(const mpz_class& n) {
    mpz_class bound;
    mpz_tdiv_q_ui(bound.get_mpz_t(), n.get_mpz_t(), PLAINTEXT_BOUND_DIVISOR);
    return bound;
}

Status check_plaintext_bound(const mpz_class& m, const mpz_class& bound, double v) {
    if (mpz_cmpabs(m.get_mpz_t(), bound.get_mpz_t()) <= 0) return Done{};
    return refuse("plaintext " + format_exponential(v) +
                  " is outside the signed group of this key once room for a sum of " +
                  std::to_string(SUM_HEADROOM_TERMS) +
                  " terms is reserved. At the 2048-bit floor no f64 can reach this bound, so "
                  "seeing this means the key or the scale changed");
}

Outcome<mpz_class> encode_plaintext(double v, double factor, const mpz_class& bound) {
    Outcome<mpz_class> m = encode_value(v, factor);
    if (!m.ok()) return m.take_refusal();
    if (Status fits = check_plaintext_bound(m.value(), bound, v); !fits.ok())
        return fits.take_refusal();
    return m;
}

std::string decimal_text(const mpz_class& m) { return m.get_str(10); }

Outcome<double> decode_float(const mpz_class& m, unsigned s) {
    const std::string text = decimal_text(m);
    const double x = nearest_double(text);
    if (!std::isfinite(x)) {
        const std::size_t digits = text.size() - (m < 0 ? 1 : 0);
        return refuse("plaintext of " + std::to_string(digits) +
                      " digits does not fit a float: the sum has outgrown the encoding, and "
                      "returning a finite number here would hide that");
    }
    return x / scale_factor(s);
}

std::string format_exponential(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // to_chars picks the shortest digits that read back as v, but spells the
    // exponent as e+08 / e-07; keep the digits and rewrite the exponent.
    std::array<char, 32> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), v,
                                            std::chars_format::scientific);
    ensure(error == std::errc{}, "a finite double did not fit its text buffer");
    const std::string_view text(buffer.data(), end);
    const std::size_t e = text.find('e');
    const char* exponent_start = text.data() + e + 1;
    if (*exponent_start == '+') ++exponent_start;  // from_chars takes '-' but not '+'
    int exponent = 0;
    std::from_chars(exponent_start, end, exponent);
    return std::string(text.substr(0, e)) + 'e' + std::to_string(exponent);
}

}  // namespace hecrypt
