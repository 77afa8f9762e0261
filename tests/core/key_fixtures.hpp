// Key pairs built from known safe primes, assembled once per test run.
#pragma once

#include "core/keys/keys.hpp"
#include "core/keys/secret.hpp"
#include "known_primes.hpp"
#include "value_of.hpp"

namespace hecrypt::testing {

inline mpz_class hex(const char* digits) { return mpz_class(digits, 16); }

// A public key of n, which sums and powers need not factor into safe primes.
inline PublicKeyRecord public_key_of(const mpz_class& n) {
    return value_of(public_key_from_n(to_bytes_be(n)));
}

inline mpz_class modulus_3072() { return hex(SAFE_PRIME_1536_1) * hex(SAFE_PRIME_1536_2); }

// The first prime after a fixed pattern of exactly `bits` bits: keys that
// need no safe primes (decryption, packing), found quickly.
inline mpz_class prime_of(unsigned bits, const char* pattern) {
    mpz_class start = (mpz_class(1) << (bits - 1)) + mpz_class(pattern, 16), p;
    mpz_nextprime(p.get_mpz_t(), start.get_mpz_t());
    return p;
}

inline const KeyPair& known_keypair_2048() {
    static const KeyPair pair =
        value_of(assemble_keypair(hex(SAFE_PRIME_1024_1), hex(SAFE_PRIME_1024_2)));
    return pair;
}

inline const KeyPair& known_keypair_3072() {
    static const KeyPair pair =
        value_of(assemble_keypair(hex(SAFE_PRIME_1536_1), hex(SAFE_PRIME_1536_2)));
    return pair;
}

// The secret key of p and q on the engine named, so that one process can
// hold the same key on both.
inline SecretKeyRecord secret_key_on(const mpz_class& p, const mpz_class& q, EngineChoice choice) {
    std::optional<SecretKeyRecord> sk = prepare_decryption(p, q);
    if (!sk) throw InternalFault("p and q make no secret key");
    return on_engine(std::move(*sk), choice);
}

// (1 + m n) x^n mod n^2 for a chosen x: a ciphertext formed without the key's
// table, so decryption is checked independently of encryption.
inline mpz_class textbook_encrypt(const mpz_class& n, const mpz_class& m, const mpz_class& x) {
    mpz_class n2 = n * n, g, r;
    mpz_class c1 = (1 + m * n) % n2;
    if (c1 < 0) c1 += n2;
    mpz_powm(r.get_mpz_t(), x.get_mpz_t(), n.get_mpz_t(), n2.get_mpz_t());
    return c1 * r % n2;
}

}  // namespace hecrypt::testing
