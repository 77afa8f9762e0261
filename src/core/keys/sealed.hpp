// A secret key sealed under a passphrase, so that it can outlive its process,
// and reopened into a checked key pair.
//
// Format, version 1 (integers unsigned big-endian, offsets in bytes):
//
//   0   12      magic, the ASCII bytes "hecrypt-seal"
//   12  1       version, 1
//   13  8       opslimit of Argon2id
//   21  8       memlimit of Argon2id, in bytes
//   29  16      salt
//   45  24      nonce
//   69  2       L, the length of n in bytes
//   71  L       n, with no leading zero byte
//   71+L 2L+16  p and q, each as L bytes, sealed by XChaCha20-Poly1305 with its
//               16-byte tag, under the 32-byte key Argon2id derives from the
//               passphrase, salt and limits above; bytes 0 to 71+L are its
//               associated data, so no byte of the header or of n can change
//               unnoticed either
//
// The modulus stays readable without the passphrase, for a peer's tooling.
#pragma once

#include <cstdint>

#include "core/keys/keys.hpp"
#include "core/support/bigint.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

constexpr std::uint8_t SEALED_VERSION = 1;

// The work Argon2id does for one derivation.
struct KdfCost {
    std::uint64_t opslimit;
    std::uint64_t memlimit;  // bytes
};

// What the module seals with: libsodium's "moderate" limits, about half a
// second on one core.
KdfCost default_kdf_cost();
// The least libsodium allows, for tests that seal and unseal thousands of
// times; no key a user seals gets it.
KdfCost cheapest_kdf_cost();
// Whether a sealed key with this cost is opened at all: from the cheapest
// cost up to libsodium's "sensitive" limits (1 GiB, a few seconds), so that a
// forged header cannot make unseal allocate or run without bound.
bool accepted_kdf_cost(KdfCost cost);

// The key's primes sealed under `passphrase` (not empty) in the format above,
// with a fresh salt and nonce.
Outcome<Bytes> seal(const SecretKeyRecord& sk, ByteView passphrase,
                    KdfCost cost = default_kdf_cost());

// The key pair of a sealed key, its primes checked as key generation checks
// its own. A wrong passphrase and any damage to the sealed key give the same
// refusal, unseal_failed_message(); only an unknown magic or version, which
// hold no secret, have messages of their own.
Outcome<KeyPair> unseal(ByteView sealed, ByteView passphrase);

// n's bytes as modulus_bytes() gives them, read without the passphrase. The
// structure is checked; that n is the sealed key's is not, and cannot be
// without the passphrase.
Outcome<Bytes> sealed_modulus(ByteView sealed);

const char* unseal_failed_message();

}  // namespace hecrypt
