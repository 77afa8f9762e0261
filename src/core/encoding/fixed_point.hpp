// Fixed-point bridge between 64-bit floats and plaintext integers: a value v
// travels as round(v 10^s) at a decimal scale s carried by the blob.
#pragma once

#include <cstdint>
#include <string>

#include "core/support/bigint.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

constexpr unsigned MAX_SCALE_POW10 = 18;
constexpr unsigned DEFAULT_SCALE_POW10 = 8;
constexpr unsigned long SUM_HEADROOM_TERMS = 1048576;  // 2^20

// 10^s as a double, exact for s <= 18.
double scale_factor(unsigned s);

// The refusal of a scale above MAX_SCALE_POW10.
std::string scale_limit_message(unsigned s);

// The integer an integral finite double holds, in time and memory accesses
// that do not depend on it (GMP's mpz_set_d stops at its significant limbs).
mpz_class integer_of_double(double y);

// round(v factor), halfway cases away from zero, as an exact integer.
Outcome<mpz_class> encode_value(double v, double factor);

// floor(n / 2^21): the largest |m| encryption accepts.
mpz_class plaintext_bound(const mpz_class& n);

// Refuses |m| > bound; `v` is the float m was encoded from, for the message.
Status check_plaintext_bound(const mpz_class& m, const mpz_class& bound, double v);

// The plaintext of an encryption: encode_value, then check_plaintext_bound.
Outcome<mpz_class> encode_plaintext(double v, double factor, const mpz_class& bound);

// Decimal digits of m with a leading minus when negative.
std::string decimal_text(const mpz_class& m);

// The double nearest to m, divided by 10^s; refused when m rounds to infinity.
Outcome<double> decode_float(const mpz_class& m, unsigned s);

// Shortest round-trip exponential form: 1e300, 1e8, -2.5e-7, NaN, inf, -inf.
std::string format_exponential(double v);

}  // namespace hecrypt
