// Encryption of checked plaintexts, shared by the plain and the packed
// entries: each decides what item i's plaintext is and how its blob looks.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "core/keys/keys.hpp"

namespace hecrypt {

// m of item i after its checks, or its refusal; m is wiped once used.
using PlaintextOf = std::function<Outcome<mpz_class>(std::size_t)>;
// The blob of a ciphertext integer.
using BlobOf = std::function<Bytes(const mpz_class&)>;

// (1 + m n) hs^r mod n^2 for every item, in parallel, with a fresh r each;
// the refusal of the lowest refused item, whatever the pool size.
Outcome<std::vector<Bytes>> encrypt_plaintexts(const PublicKeyRecord& pk, std::size_t count,
                                               const PlaintextOf& plaintext, const BlobOf& blob);

}  // namespace hecrypt
