#include "sum_rules.hpp"

#include "core/runtime/interrupt.hpp"
#include "terms.hpp"

namespace hecrypt {

namespace {

const std::string MIXED_SCALE_TAIL =
    ": adding them would produce a plausible wrong number, and rescaling is impossible on "
    "encrypted values";

std::string scale_text(unsigned s) { return "1e" + std::to_string(s); }

}  // namespace

Outcome<mpz_class> SumTerms::read(std::size_t i) {
    Outcome<ParsedBlob> parsed = parse_blob(blobs_[i]);
    if (!parsed.ok()) return refuse(label_blob_refusal(i + 1, parsed.refusal()));
    ParsedBlob& term = parsed.value();
    if (i == 0) scale_ = term.scale;
    if (term.scale != scale_)
        return refuse(ciphertext_label(i + 1) + " was encoded with scale " +
                      scale_text(term.scale) + " while the sum started at " + scale_text(scale_) +
                      MIXED_SCALE_TAIL);
    if (!in_range(term.ciphertext, n_squared_)) return out_of_range(i + 1, RangeWording::Sum);
    return std::move(term.ciphertext);
}

Status check_block_scales(std::span<const Block> blocks, std::span<const std::uint8_t> scales) {
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        checkpoint();  // a block may hold a million terms
        const Block& block = blocks[j];
        const std::uint8_t first = scales[block.front()];
        for (std::size_t p = 1; p < block.size(); ++p) {
            if (scales[block[p]] != first)
                return refuse("block #" + std::to_string(j + 1) + " mixes scale " +
                              scale_text(scales[block[p]]) + " at position " +
                              std::to_string(p + 1) + " into a sum started at " +
                              scale_text(first) + MIXED_SCALE_TAIL);
        }
    }
    return Done{};
}

}  // namespace hecrypt
