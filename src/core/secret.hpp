// Decryption with the secret primes: two exponentiations modulo p^2 and q^2
// and one CRT recombination.
#pragma once

#include <optional>

#include "bigint.hpp"
#include "keys.hpp"

namespace hecrypt {

// The signed plaintext of c, or nothing when c is not a ciphertext under sk
// (outside [1, n^2) or sharing a factor with n).
std::optional<mpz_class> decrypt_integer(const SecretKeyRecord& sk, const mpz_class& c);

}  // namespace hecrypt
