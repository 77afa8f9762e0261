// add_many and add_blocks on the key's 8-lane engine: the same checks in the
// same order, and the same bytes, as the portable loops, several times
// faster per term.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/ops/ops.hpp"

namespace hecrypt {

// Whether the lanes beat the portable loop on a call of this size: below
// that their fixed costs (conversions, joins, partly idle lanes) win.
bool add_many8_pays(std::size_t terms);
bool add_blocks8_pays(std::size_t terms, std::size_t blocks);

// add_many after its count checks. Needs pk.table8.
Outcome<Bytes> add_many8(const PublicKeyRecord& pk, Blobs blobs);

// add_blocks after its structure checks, which set referenced[i] for every
// blob i a block names. Needs pk.table8.
Outcome<std::vector<Bytes>> add_blocks8(const PublicKeyRecord& pk, Blobs blobs,
                                        std::span<const Block> blocks,
                                        const std::vector<std::uint8_t>& referenced);

}  // namespace hecrypt
