// The refusals of a sum that both engines share: add_many's checks of each
// term, in list order, and add_blocks' rule that a block keeps one scale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/ops/ops.hpp"
#include "core/runtime/interrupt.hpp"

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

// Block j's (1-based) own checks, which need no blob: not empty, not past
// the headroom, every index below blob_count; sets referenced[x] for every
// index x it names.
Status check_block(const Block& block, std::size_t j, std::size_t blob_count,
                   std::vector<std::uint8_t>& referenced);

// The lowest block and the position in it (both 0-based) of the first term
// for which same(first, term) fails, `first` being the block's first blob
// and `term` the term's; nothing when every block passes.
template <class Same>
std::optional<std::pair<std::size_t, std::size_t>> first_mixed_term(std::span<const Block> blocks,
                                                                    Same&& same) {
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        checkpoint();  // a block may hold a million terms
        for (std::size_t p = 1; p < blocks[j].size(); ++p)
            if (!same(blocks[j].front(), blocks[j][p])) return std::pair{j, p};
    }
    return std::nullopt;
}

// The words of an empty sum, after its subject.
extern const std::string EMPTY_SUM_TAIL;

// The words of a sum whose terms were encoded at two scales.
extern const std::string MIXED_SCALE_TAIL;
std::string scale_text(unsigned s);

// The first term of the lowest block whose scale differs from that block's
// first term, refused; scales[i] is the scale of blob i, for every blob a
// block names.
Status check_block_scales(std::span<const Block> blocks, std::span<const std::uint8_t> scales);

}  // namespace hecrypt
