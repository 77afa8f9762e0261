// Decryption with the secret primes: two exponentiations modulo p^2 and q^2
// and one CRT recombination.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/keys/keys.hpp"
#include "core/support/bigint.hpp"

namespace hecrypt {

// Whether c is a ciphertext under sk: in [1, n^2) and coprime with n.
bool decryptable(const SecretKeyRecord& sk, const mpz_class& c);

// The signed plaintexts of ciphertexts that are decryptable() under sk, the
// key's engine taking them its lanes() at a time. The results are the same
// on every engine.
std::vector<mpz_class> decrypt_integers(const SecretKeyRecord& sk,
                                        std::span<const mpz_class* const> ciphertexts);

// The signed plaintext of c, or nothing when c is not decryptable().
std::optional<mpz_class> decrypt_integer(const SecretKeyRecord& sk, const mpz_class& c);

}  // namespace hecrypt
