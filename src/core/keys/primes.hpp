// Random safe primes p = 2x + 1 (x prime) of an exact bit length.
#pragma once

#include <cstdint>
#include <vector>

#include "core/support/bigint.hpp"

namespace hecrypt {

// Repetitions of GMP's probabilistic primality test, for every test of a
// prime factor of a key.
constexpr int PRIMALITY_REPS = 40;

// The odd primes from 3 to 4093, by an odd-only sieve of Eratosthenes.
std::vector<std::uint32_t> small_primes();

// A random safe prime of exactly `bits` bits (bits >= 8). Every result is
// also a Blum prime (p = 3 mod 4) because x is odd. No attempt limit.
mpz_class safe_prime(std::uint32_t bits);

// mpz_probab_prime_p(x, PRIMALITY_REPS) != 0, faulting on any result other
// than 0, 1 or 2.
bool probably_prime(const mpz_class& x);

}  // namespace hecrypt
