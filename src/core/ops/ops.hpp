// The homomorphic operations, as plain functions over byte views, doubles
// and index lists. Each returns its result or the refusal the caller sees.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/engine/engine.hpp"
#include "core/keys/keys.hpp"
#include "core/support/bigint.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

using Blobs = std::span<const ByteView>;

Outcome<std::vector<Bytes>> encrypt_many(const PublicKeyRecord& pk, std::span<const double> values,
                                         unsigned scale_pow10);

// The same ciphertexts as encrypt_many with the key pair's public key, made
// with the primes: the masks modulo p^2 and q^2, recombined.
Outcome<std::vector<Bytes>> keyholder_encrypt_many(const SecretKeyRecord& sk,
                                                   std::span<const double> values,
                                                   unsigned scale_pow10);

Outcome<double> decrypt(const SecretKeyRecord& sk, ByteView blob);
Outcome<std::vector<std::string>> decrypt_many(const SecretKeyRecord& sk, Blobs blobs);

Outcome<Bytes> add_many(const PublicKeyRecord& pk, Blobs blobs);
Outcome<std::vector<Bytes>> add_blocks(const PublicKeyRecord& pk, Blobs blobs,
                                       std::span<const Block> blocks);

Outcome<std::vector<Bytes>> multiply_many(const PublicKeyRecord& pk, Blobs blobs,
                                          std::span<const double> scalars,
                                          std::optional<unsigned> scalar_scale_pow10);
Outcome<std::vector<Bytes>> multiply_many_public(const PublicKeyRecord& pk, Blobs blobs,
                                                 std::span<const double> scalars,
                                                 std::optional<unsigned> scalar_scale_pow10);

Outcome<std::vector<Bytes>> rerandomize(const PublicKeyRecord& pk, Blobs blobs);

}  // namespace hecrypt
