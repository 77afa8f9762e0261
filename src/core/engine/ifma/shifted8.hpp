// Products of powers by powers of two, eight at a time: what shifting
// plaintexts into place and adding them asks of ciphertexts.
#pragma once

#include <cstddef>
#include <span>

#include "core/engine/ifma/context.hpp"
#include "core/engine/ifma/lanes.hpp"

namespace hecrypt {

// For every lane l, the product over i of terms[i][l]^(2^(shift i)) mod m_l,
// by Horner's rule from the last term: one squaring per bit of shift
// between two terms. Terms are below m_l; a lane with fewer terms holds 1
// in the others. Public values only: nothing here is meant for secrets,
// although nothing branches on them either.
Values8 ifma_shifted_product8(const IfmaContext& ctx, std::span<const Values8> terms,
                              std::size_t shift);

}  // namespace hecrypt
