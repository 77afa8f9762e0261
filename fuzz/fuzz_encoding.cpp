// The fixed-point bridge against exact references: encode_value rounds the
// double product v 10^s half away from zero, decode_float rounds m to the
// nearest double (ties to even) before dividing by 10^s, decimal_text reads
// back to m, and format_exponential is the shortest text that reads back to
// v, in the 1e300 / -2.5e-7 shape.
//
// Input: a scale and the bits of a double (both taken from the end by
// FuzzedDataProvider), a mode byte and a sign, then magnitude bytes from the
// front. The mode places m anywhere, next to the point where rounding to a
// double overflows, or next to v's own integer value, where the ties are.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/encoding/fixed_point.hpp"
#include "fuzz_support.hpp"

using namespace hecrypt;
using namespace hecrypt::fuzz;

namespace {

constexpr std::size_t MAX_MAGNITUDE_BYTES = 160;  // past 2^1024 with room to spare

bool same_double(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

double exact_pow10(unsigned s) {
    std::uint64_t power = 1;
    for (unsigned k = 0; k < s; ++k) power *= 10;
    return static_cast<double>(power);  // 2^s 5^s with 5^s < 2^53: exact
}

// The double nearest to m, ties to even, from m's bits; infinite past the
// largest finite double.
double nearest_double(const mpz_class& m) {
    const mpz_class magnitude = abs(m);
    const std::size_t bits = magnitude == 0 ? 0 : mpz_sizeinbase(magnitude.get_mpz_t(), 2);
    if (bits <= 53) return magnitude.get_d() * (m < 0 ? -1 : 1);
    const std::size_t shift = bits - 53;
    mpz_class kept = magnitude >> shift;
    const mpz_class dropped = magnitude - (kept << shift);
    const mpz_class half = mpz_class(1) << (shift - 1);
    if (dropped > half || (dropped == half && mpz_odd_p(kept.get_mpz_t()))) ++kept;
    const double x = std::ldexp(kept.get_d(), static_cast<int>(shift));
    return m < 0 ? -x : x;
}

// round(p), halfway cases away from zero, from the exact value of p.
mpz_class round_half_away(double p) {
    const mpq_class exact(std::fabs(p));
    const mpq_class shifted = exact + mpq_class(1, 2);
    mpz_class r;
    mpz_fdiv_q(r.get_mpz_t(), shifted.get_num_mpz_t(), shifted.get_den_mpz_t());
    return p < 0 ? mpz_class(-r) : r;
}

std::string text_of(double v) { return format_exponential(v); }

// The refusal encode_value must give, or none for a finite product.
std::optional<std::string> encode_refusal(double v, double factor) {
    if (!std::isfinite(v))
        return "value " + text_of(v) +
               " is not finite: NaN and infinities have no encoding, and turning them into zero "
               "would put a plausible number into the sum";
    if (std::isinf(v * factor))
        return "value " + text_of(v) + " overflows to infinity once scaled by " + text_of(factor);
    return std::nullopt;
}

void check_encode(double v, unsigned s) {
    const double factor = exact_pow10(s);
    require(same_double(scale_factor(s), factor), "scale_factor is not 10^s");
    const Outcome<mpz_class> m = encode_value(v, factor);
    require_refusal(m, encode_refusal(v, factor), "encode_value");
    if (m.ok())
        require_equal(m.value().get_str(), round_half_away(v * factor).get_str(),
                      "encode_value is not the rounded double product");
}

void check_decode(const mpz_class& m, unsigned s) {
    const std::string text = decimal_text(m);
    require(is_canonical_integer(text), "decimal_text is not a plain decimal integer");
    require(mpz_class(text, 10) == m, "decimal_text does not read back to m");
    const Outcome<double> x = decode_float(m, s);
    const double nearest = nearest_double(m);
    std::optional<std::string> refusal;
    if (std::isinf(nearest))
        refusal = "plaintext of " + std::to_string(mpz_class(abs(m)).get_str().size()) +
                  " digits does not fit a float: the sum has outgrown the encoding, and returning "
                  "a finite number here would hide that";
    require_refusal(x, refusal, "decode_float");
    if (x.ok())
        require(same_double(x.value(), nearest / exact_pow10(s)),
                "decode_float is not the nearest double divided by 10^s");
}

// -?D(.D*)?e-?D+ with no '+', no leading exponent zeros and no trailing
// fraction zeros; the leading digit is 0 only for zero itself.
bool has_exponential_shape(const std::string& text, std::size_t& digit_count) {
    std::size_t i = text[0] == '-' ? 1 : 0;
    const std::size_t e = text.find('e');
    if (e == std::string::npos || e <= i) return false;
    const std::string mantissa = text.substr(i, e - i);
    digit_count = 1;
    if (mantissa[0] < '0' || mantissa[0] > '9') return false;
    if (mantissa.size() > 1) {
        if (mantissa.size() < 3 || mantissa[1] != '.' || mantissa.back() == '0') return false;
        for (std::size_t k = 2; k < mantissa.size(); ++k, ++digit_count)
            if (mantissa[k] < '0' || mantissa[k] > '9') return false;
    }
    std::string exponent = text.substr(e + 1);
    if (!exponent.empty() && exponent[0] == '-') exponent.erase(0, 1);
    if (exponent.empty() || (exponent[0] == '0' && exponent.size() > 1)) return false;
    for (char c : exponent)
        if (c < '0' || c > '9') return false;
    return true;
}

void check_format(double v) {
    const std::string text = format_exponential(v);
    if (std::isnan(v)) return require_equal(text, "NaN", "format_exponential of NaN");
    if (std::isinf(v))
        return require_equal(text, v < 0 ? "-inf" : "inf", "format_exponential of inf");
    std::size_t digits = 0;
    if (!has_exponential_shape(text, digits)) broken("format_exponential shape: " + text);
    require(text[text[0] == '-' ? 1 : 0] != '0' || v == 0, "leading mantissa digit is 0");
    require(same_double(std::strtod(text.c_str(), nullptr), v),
            "format_exponential does not read back to v");
    // One digit fewer must not read back. Checked where the neighbours of v
    // are equally far apart (significand not a power of two), where the
    // nearest shorter decimal is the one to try.
    const bool symmetric = (std::bit_cast<std::uint64_t>(v) & ((1ull << 52) - 1)) != 0;
    if (digits < 2 || !symmetric) return;
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*e", static_cast<int>(digits) - 2, v);
    if (same_double(std::strtod(shorter, nullptr), v))
        broken("format_exponential is not the shortest: " + text + " vs " + shorter);
}

mpz_class read_plaintext(FuzzedDataProvider& in, double v) {
    const std::uint8_t mode = in.ConsumeIntegral<std::uint8_t>();
    const bool negative = in.ConsumeBool();
    const std::string bytes = in.ConsumeBytesAsString(MAX_MAGNITUDE_BYTES);
    mpz_class m =
        integer_of(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    if (mode % 3 == 1) {
        // Around 2^1024 - 2^970, the halfway point above the largest double.
        m = (mpz_class(1) << 1024) - (mpz_class(1) << 970) + ((mode & 0x80) ? m : mpz_class(-m));
    } else if (mode % 3 == 2 && std::isfinite(v)) {
        // Around an integer that is a double: halfway cases sit a few bits up.
        m = mpz_class(std::trunc(std::fabs(v))) + ((mode & 0x80) ? m : mpz_class(-m));
    }
    return negative ? mpz_class(-m) : m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto s = in.ConsumeIntegralInRange<unsigned>(0, MAX_SCALE_POW10);
    const double v = std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    check_format(v);
    check_encode(v, s);
    check_decode(read_plaintext(in, v), s);
    return 0;
}
