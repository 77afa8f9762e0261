// Decryption with the secret primes: two exponentiations modulo p^2 and q^2
// and one CRT recombination.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/support/bigint.hpp"
#include "core/keys/keys.hpp"

namespace hecrypt {

// Ciphertexts decrypted together by decrypt_integers on the 8-lane engine.
constexpr std::size_t DECRYPTION_GROUP = IFMA_LANES / 2;

// Whether c is a ciphertext under sk: in [1, n^2) and coprime with n.
bool decryptable(const SecretKeyRecord& sk, const mpz_class& c);

// The signed plaintexts of ciphertexts that are decryptable() under sk: on
// the 8-lane engine when the key has its lanes, DECRYPTION_GROUP at a time,
// otherwise one after another. The results are the same either way.
std::vector<mpz_class> decrypt_integers(const SecretKeyRecord& sk,
                                        std::span<const mpz_class* const> ciphertexts);

// The signed plaintext of c, or nothing when c is not decryptable().
std::optional<mpz_class> decrypt_integer(const SecretKeyRecord& sk, const mpz_class& c);

// sk's exponentiations laid out for the 8-lane engine, or nothing when
// use_ifma() does not hold or p^2 and q^2 are too long for it.
std::optional<DecryptionLanes> decryption_lanes(const SecretKeyRecord& sk);

}  // namespace hecrypt
