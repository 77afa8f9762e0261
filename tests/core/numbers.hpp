// Reference arithmetic straight from GMP, which the kernels and engines are
// checked against.
#pragma once

#include <gmpxx.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <span>
#include <vector>

namespace hecrypt::testing {

inline mpz_class powm(const mpz_class& base, const mpz_class& e, const mpz_class& m) {
    mpz_class r;
    mpz_powm(r.get_mpz_t(), base.get_mpz_t(), e.get_mpz_t(), m.get_mpz_t());
    return r;
}

inline mpz_class power_of_two(std::size_t bits) { return mpz_class(1) << bits; }

// Exactly `bits` bits, odd.
inline mpz_class random_odd(gmp_randclass& rng, unsigned bits) {
    return rng.get_z_bits(bits) | power_of_two(bits - 1) | 1;
}

// `count` bytes of `rng`.
inline std::vector<std::uint8_t> random_bytes(gmp_randclass& rng, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(mpz_class(rng.get_z_bits(8)).get_ui());
    return bytes;
}

// The integer whose limbs these are, least significant first.
inline mpz_class from_limbs(std::span<const mp_limb_t> limbs) {
    mpz_class x;
    mpz_import(x.get_mpz_t(), limbs.size(), -1, sizeof(mp_limb_t), 0, 0, limbs.data());
    return x;
}

// A modulus to check a kernel at, the width in digits or limbs it takes,
// and a name for the test's.
struct ModulusCase {
    const char* name;
    mpz_class m;
    std::size_t width;

    friend void PrintTo(const ModulusCase& c, std::ostream* os) { *os << c.name; }
};

}  // namespace hecrypt::testing
