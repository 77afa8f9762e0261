#include "sum_rules.hpp"

#include "core/encoding/fixed_point.hpp"
#include "core/runtime/interrupt.hpp"
#include "terms.hpp"

namespace hecrypt {

const std::string EMPTY_SUM_TAIL =
    ": an empty sum has no encryption under this key, and returning one would be a ciphertext "
    "of zero that nobody asked for";

const std::string MIXED_SCALE_TAIL =
    ": adding them would produce a plausible wrong number, and rescaling is impossible on "
    "encrypted values";

std::string scale_text(unsigned s) { return "1e" + std::to_string(s); }

Status check_block(const Block& block, std::size_t j, std::size_t blob_count,
                   std::vector<std::uint8_t>& referenced) {
    const std::string label = "block #" + std::to_string(j);
    if (block.empty()) return refuse(label + " is empty" + EMPTY_SUM_TAIL);
    if (block.size() > SUM_HEADROOM_TERMS)
        return refuse(label + " holds " + std::to_string(block.size()) + " ciphertexts, at most " +
                      std::to_string(SUM_HEADROOM_TERMS) +
                      " per sum: past that the reserved headroom stops covering the sum");
    for (std::size_t p = 0; p < block.size(); ++p) {
        if (block[p] >= blob_count)
            return refuse(label + " names index " + std::to_string(block[p]) + " at position " +
                          std::to_string(p + 1) + ", and only " + std::to_string(blob_count) +
                          " ciphertexts were given");
        referenced[block[p]] = 1;
    }
    return Done{};
}

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
    const auto mixed = first_mixed_term(blocks, [&](std::uint64_t first, std::uint64_t term) {
        return scales[first] == scales[term];
    });
    if (!mixed) return Done{};
    const auto [j, p] = *mixed;
    return refuse("block #" + std::to_string(j + 1) + " mixes scale " +
                  scale_text(scales[blocks[j][p]]) + " at position " + std::to_string(p + 1) +
                  " into a sum started at " + scale_text(scales[blocks[j].front()]) +
                  MIXED_SCALE_TAIL);
}

}  // namespace hecrypt
