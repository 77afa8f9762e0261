// Encryption of checked plaintexts, shared by the plain and the packed
// entries: each decides what item i's plaintext is and how its blob looks.
// Either key encrypts: the public key, or the key holder's secret key, whose
// primes make the same ciphertexts close to twice as fast.
#pragma once

#include <cstddef>
#include <functional>
#include <variant>
#include <vector>

#include "core/keys/keys.hpp"

namespace hecrypt {

// m of item i after its checks, or its refusal; m is kept in an integer
// that wipes itself.
using PlaintextOf = std::function<Outcome<mpz_class>(std::size_t)>;
// The blob of a ciphertext integer.
using BlobOf = std::function<Bytes(const mpz_class&)>;

// (1 + m n) hs^r mod n^2 for every item, in parallel, with a fresh r each;
// the refusal of the lowest refused item, whatever the pool size.
Outcome<std::vector<Bytes>> encrypt_plaintexts(const PublicKeyRecord& pk, std::size_t count,
                                               const PlaintextOf& plaintext, const BlobOf& blob);

// The same with the masks made modulo p^2 and q^2 (crt_masks.hpp); the key's
// tables are built on its first batch that is not empty.
Outcome<std::vector<Bytes>> encrypt_plaintexts(const SecretKeyRecord& sk, std::size_t count,
                                               const PlaintextOf& plaintext, const BlobOf& blob);

// The key an entry that takes either encrypts with. Converts from both, so
// that callers pass the record they hold.
class EncryptionKey {
  public:
    EncryptionKey(const PublicKeyRecord& pk) : key_(&pk) {}  // NOLINT: converts on purpose
    EncryptionKey(const SecretKeyRecord& sk) : key_(&sk) {}  // NOLINT: converts on purpose

    const mpz_class& n() const {
        return std::visit([](const auto* key) -> const mpz_class& { return key->n; }, key_);
    }

    Outcome<std::vector<Bytes>> encrypt(std::size_t count, const PlaintextOf& plaintext,
                                        const BlobOf& blob) const {
        return std::visit(
            [&](const auto* key) { return encrypt_plaintexts(*key, count, plaintext, blob); },
            key_);
    }

  private:
    std::variant<const PublicKeyRecord*, const SecretKeyRecord*> key_;
};

}  // namespace hecrypt
