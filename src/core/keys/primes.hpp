// Random safe primes p = 2x + 1 (x prime) of an exact bit length.
#pragma once

#include <cstdint>

#include "core/engine/dispatch.hpp"
#include "core/keys/sieve.hpp"
#include "core/support/bigint.hpp"

namespace hecrypt {

// Repetitions of GMP's probabilistic primality test, for every test of a
// prime factor of a key.
constexpr int PRIMALITY_REPS = 40;

// A random safe prime of exactly `bits` bits (bits >= 8), uniform over them.
// Every result is also a Blum prime (p = 3 mod 4) because x is odd. No
// attempt limit. The cheap tests run on the engine `engine` names, the one
// keys get unless given.
mpz_class safe_prime(std::uint32_t bits);
mpz_class safe_prime(std::uint32_t bits, EngineChoice engine);

// mpz_probab_prime_p(x, PRIMALITY_REPS) != 0, faulting on any result other
// than 0, 1 or 2.
bool probably_prime(const mpz_class& x);

}  // namespace hecrypt
