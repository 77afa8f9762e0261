// The refusals of a sum that both engines share: add_many's checks of each
// term, in list order, and add_blocks' rule that a block keeps one scale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/ops/ops.hpp"

namespace hecrypt {

// The terms of add_many, read one after another from the first. Each read
// makes the checks of its term in their order: the parse, the scale of the
// sum (the first term's), the range.
class SumTerms {
  public:
    SumTerms(const mpz_class& n_squared, Blobs blobs) : n_squared_(n_squared), blobs_(blobs) {}

    // The integer of term i (0-based); terms 0 to i - 1 were read before.
    Outcome<mpz_class> read(std::size_t i);
    // The scale of the sum, once term 0 has been read.
    std::uint8_t scale() const { return scale_; }

  private:
    const mpz_class& n_squared_;
    Blobs blobs_;
    std::uint8_t scale_ = 0;
};

// The first term of the lowest block whose scale differs from that block's
// first term, refused; scales[i] is the scale of blob i, for every blob a
// block names.
Status check_block_scales(std::span<const Block> blocks, std::span<const std::uint8_t> scales);

}  // namespace hecrypt
