#include "core/encoding/fixed_point.hpp"
#include "core/ops/ops.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/pool.hpp"
#include "sum_rules.hpp"
#include "sums8.hpp"
#include "terms.hpp"

namespace hecrypt {

namespace {

// Every referenced blob parsed and range-tested once; others left empty.
Outcome<std::vector<std::optional<ParsedBlob>>> parse_referenced(
    const PublicKeyRecord& pk, Blobs blobs, const std::vector<std::uint8_t>& referenced) {
    return parallel_map<std::optional<ParsedBlob>>(
        blobs.size(), [&](std::size_t i) -> Outcome<std::optional<ParsedBlob>> {
            if (!referenced[i]) return std::optional<ParsedBlob>();
            Outcome<ParsedBlob> parsed =
                parse_in_range(blobs[i], i + 1, pk.n_squared, RangeWording::Sum);
            if (!parsed.ok()) return parsed.take_refusal();
            return std::optional<ParsedBlob>(std::move(parsed.value()));
        });
}

Bytes sum_block(const PublicKeyRecord& pk, const Block& block,
                const std::vector<std::optional<ParsedBlob>>& parsed) {
    const ParsedBlob& first = parsed[block.front()].value();
    mpz_class acc = first.ciphertext;
    for (std::size_t p = 1; p < block.size(); ++p) {
        checkpoint();  // a block may hold a million terms
        mul_mod_vartime(acc, parsed[block[p]].value().ciphertext, pk.n_squared);
    }
    return write_blob(first.scale, acc);
}

Outcome<std::vector<Bytes>> add_blocks_portable(const PublicKeyRecord& pk, Blobs blobs,
                                                std::span<const Block> blocks,
                                                const std::vector<std::uint8_t>& referenced) {
    auto parsed = parse_referenced(pk, blobs, referenced);
    if (!parsed.ok()) return parsed.take_refusal();
    std::vector<std::uint8_t> scales(blobs.size());
    for (std::size_t i = 0; i < blobs.size(); ++i)
        if (parsed.value()[i]) scales[i] = parsed.value()[i]->scale;
    if (Status same = check_block_scales(blocks, scales); !same.ok()) return same.take_refusal();
    return parallel_map<Bytes>(
        blocks.size(), [&](std::size_t j) { return sum_block(pk, blocks[j], parsed.value()); });
}

}  // namespace

Outcome<Bytes> add_many(const PublicKeyRecord& pk, Blobs blobs) {
    if (blobs.empty()) return refuse("add_many needs at least one ciphertext" + EMPTY_SUM_TAIL);
    if (blobs.size() > SUM_HEADROOM_TERMS)
        return refuse("add_many takes at most " + std::to_string(SUM_HEADROOM_TERMS) +
                      " ciphertexts per call, got " + std::to_string(blobs.size()) +
                      ": past that the reserved headroom stops covering the sum. This is a "
                      "per-call limit, not a guarantee - chaining calls escapes it, and what "
                      "actually keeps sums in range is the gap between the key floor and the f64 "
                      "range");
    if (pk.table8 && add_many8_pays(blobs.size())) return add_many8(pk, blobs);
    SumTerms terms(pk.n_squared, blobs);
    mpz_class acc = 1;
    for (std::size_t i = 0; i < blobs.size(); ++i) {
        checkpoint();
        Outcome<mpz_class> c = terms.read(i);
        if (!c.ok()) return c.take_refusal();
        mul_mod_vartime(acc, c.value(), pk.n_squared);
    }
    return write_blob(terms.scale(), acc);
}

Outcome<std::vector<Bytes>> add_blocks(const PublicKeyRecord& pk, Blobs blobs,
                                       std::span<const Block> blocks) {
    std::vector<std::uint8_t> referenced(blobs.size(), 0);
    std::size_t terms = 0;
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        if (Status ok = check_block(blocks[j], j + 1, blobs.size(), referenced); !ok.ok())
            return ok.take_refusal();
        terms += blocks[j].size();
    }
    if (pk.table8 && add_blocks8_pays(terms, blocks.size()))
        return add_blocks8(pk, blobs, blocks, referenced);
    return add_blocks_portable(pk, blobs, blocks, referenced);
}

}  // namespace hecrypt
