#include "core/encoding/fixed_point.hpp"
#include "core/ops/ops.hpp"
#include "core/runtime/pool.hpp"
#include "sum_rules.hpp"
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

Outcome<std::vector<Bytes>> sum_blocks(const PublicKeyRecord& pk, Blobs blobs,
                                       std::span<const Block> blocks,
                                       const std::vector<std::uint8_t>& referenced) {
    auto parsed = parse_referenced(pk, blobs, referenced);
    if (!parsed.ok()) return parsed.take_refusal();
    std::vector<std::uint8_t> scales(blobs.size());
    std::vector<const mpz_class*> terms(blobs.size(), nullptr);
    for (std::size_t i = 0; i < blobs.size(); ++i) {
        if (!parsed.value()[i]) continue;
        scales[i] = parsed.value()[i]->scale;
        terms[i] = &parsed.value()[i]->ciphertext;
    }
    if (Status same = check_block_scales(blocks, scales); !same.ok()) return same.take_refusal();
    std::vector<mpz_class> sums = pk.engine->block_products(blocks, terms);
    return parallel_map<Bytes>(blocks.size(), [&](std::size_t j) {
        return write_blob(scales[blocks[j].front()], sums[j]);
    });
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
    SumTerms terms(pk.n_squared, blobs);
    Outcome<mpz_class> sum =
        pk.engine->product(blobs.size(), [&](std::size_t i) { return terms.read(i); });
    if (!sum.ok()) return sum.take_refusal();
    return write_blob(terms.scale(), sum.value());
}

Outcome<std::vector<Bytes>> add_blocks(const PublicKeyRecord& pk, Blobs blobs,
                                       std::span<const Block> blocks) {
    std::vector<std::uint8_t> referenced(blobs.size(), 0);
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        if (Status ok = check_block(blocks[j], j + 1, blobs.size(), referenced); !ok.ok())
            return ok.take_refusal();
    }
    return sum_blocks(pk, blobs, blocks, referenced);
}

}  // namespace hecrypt
