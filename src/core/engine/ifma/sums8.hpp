// The product chains of the sums on the 8-lane engine: the same terms read
// in the same order, and the same products, as the portable chains, several
// times faster per term.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/engine/engine.hpp"
#include "core/engine/ifma/context.hpp"

namespace hecrypt {

// Whether the lanes beat the portable chain on a call of this size: below
// that their fixed costs (conversions, joins, partly idle lanes) win.
bool add_many8_pays(std::size_t terms);
bool add_blocks8_pays(std::size_t terms, std::size_t blocks);

// PublicEngine::product on the lanes, modulo m, ctx's modulus.
Outcome<mpz_class> product8(const IfmaContext& ctx, const mpz_class& m, std::size_t count,
                            const TermReader& read);

// PublicEngine::block_products on the lanes.
std::vector<mpz_class> block_products8(const IfmaContext& ctx, const mpz_class& m,
                                       std::span<const Block> blocks,
                                       std::span<const mpz_class* const> terms);

}  // namespace hecrypt
