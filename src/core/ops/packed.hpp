// The operations on packed blobs (core/encoding/packed.hpp), plain blobs
// taken as the layout of one slot. Each returns its result or the refusal
// the caller sees.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/ops/encryption.hpp"
#include "core/ops/ops.hpp"

namespace hecrypt::packed {

constexpr unsigned DEFAULT_SLOT_BITS = 64;

// `count` rows of `width` values each, row-major in `values`.
struct Rows {
    std::span<const double> values;
    std::size_t count = 0, width = 0;
};

// One packed blob per row, under either key.
Outcome<std::vector<Bytes>> encrypt(const EncryptionKey& key, const Rows& rows,
                                    unsigned scale_pow10, unsigned slot_bits);

Outcome<Bytes> add_many(const PublicKeyRecord& pk, Blobs blobs);
Outcome<std::vector<Bytes>> add_blocks(const PublicKeyRecord& pk, Blobs blobs,
                                       std::span<const Block> blocks);
Outcome<std::vector<Bytes>> rerandomize(const PublicKeyRecord& pk, Blobs blobs);

// minuends[i] - subtrahends[i], slot by slot.
Outcome<std::vector<Bytes>> subtract(const PublicKeyRecord& pk, Blobs minuends, Blobs subtrahends);

// Consecutive blobs shifted and added into as few as the key's capacity holds.
Outcome<std::vector<Bytes>> combine(const PublicKeyRecord& pk, Blobs blobs);

// Every slot of every blob, in order, as decrypt would give it.
Outcome<std::vector<double>> decrypt(const SecretKeyRecord& sk, Blobs blobs);

}  // namespace hecrypt::packed
