// What the checks and the canaries of ct_ifma share. A secret is memory whose
// MemorySanitizer shadow is set ("tainted"); main.cpp keeps every other byte
// clean, so a report names a branch or an address computed from a secret.
#pragma once

#include <span>

#include "core/engine/ifma/convert.hpp"
#include "core/engine/ifma/pow8.hpp"

namespace hecrypt::ct_ifma {

void make_secret(LaneSpan v);
void make_public(LaneSpan v);
// Every bit of the 64-bit words, as an exponent's.
void make_secret_words(LaneSpan v);
// The limbs of x; its size stays public, as it is for a key field.
void make_secret(const mpz_class& x);
// The fields and the limbs, which GMP may have sized from secret data.
void make_public(const mpz_class& x);
// The modulus and what is made from it; the width stays public.
void make_secret(IfmaContext& ctx);
void make_public(IfmaContext& ctx);

// Counts and reports a wrong result.
void expect(bool ok, const char* what, std::size_t bits);
bool all_passed();

// A random odd modulus of exactly `bits` bits, prepared for the kernels, and
// R^-1 mod m for the expected values. Every draw comes from one fixed seed.
struct Modulus {
    explicit Modulus(std::size_t bits);

    std::size_t bits;
    mpz_class m, r_inverse;
    IfmaContext ctx;
};

// Eight values below `bound`; the first four are 0, bound - 1, m and m - 1,
// where they fit below it, for the ends of each kernel's range.
Values8 sample_values(const Modulus& mod, const mpz_class& bound);
mpz_class random_below(const mpz_class& bound);
// An odd number of exactly `bits` bits.
mpz_class random_odd(std::size_t bits);

// Eight exponents below 2^bits; the first three are 0, 2^bits - 1 and
// 2^(bits - 1).
Values8 sample_exponents(std::size_t bits);
// The exponents as ifma_pow8 takes them, every word tainted.
ExponentWords8 secret_words(const Values8& es, std::size_t bits);

// The values, one per lane, by write_lane.
Lanes8 lanes_of(const IfmaContext& ctx, const Values8& xs);

// Each check runs kernels, or the units around them, with tainted inputs and
// compares their results.
using Check = void (*)();
std::span<const Check> checks();
std::span<const Check> unit_checks();

// Each canary runs one deliberately variable-time variant of a kernel, which
// MemorySanitizer must report. It calls announce_leak right before the leak,
// so that a report from its setup is not taken for the leak's.
struct Canary {
    const char* name;
    void (*run)();
};
std::span<const Canary> canaries();
void announce_leak(const char* canary);

// The canaries of the units around the kernels (unit_canaries.cpp).
void canary_reduction();
void canary_sign();
void canary_loading();

}  // namespace hecrypt::ct_ifma
