#include "core/engine/engine.hpp"
#include "core/ops/packed.hpp"
#include "core/runtime/interrupt.hpp"
#include "plain_forms.hpp"

namespace hecrypt::packed {

namespace {

// Blob i's own checks: its header, its layout (packed, and the first
// blob's), its range.
Outcome<PackedBlob> combinable(const PublicKeyRecord& pk, ByteView blob, std::size_t position,
                               const Outcome<PackedBlob>& first, unsigned capacity) {
    Outcome<PackedBlob> parsed = parse_declared(blob, ciphertext_label(position), capacity);
    if (!parsed.ok()) return parsed;
    const Layout& layout = parsed.value().layout;
    if (layout.plain())
        return refuse(ciphertext_label(position) +
                      " is a plain ciphertext: combining shifts slots of a declared width, and "
                      "a plain ciphertext declares none");
    if (position > 1 && first.ok() && layout != first.value().layout)
        return mixed_term(position, layout, first.value().layout, "combination");
    if (!in_range(parsed.value().ciphertext, pk.n_squared))
        return out_of_range(position, RangeWording::Plain);
    return parsed;
}

// Output o holds the blobs [o per, (o + 1) per) of `parsed`.
struct Plan {
    std::vector<PackedBlob>& parsed;
    std::size_t per;
    std::size_t shift;  // the bits of one input's slots

    std::size_t begin(std::size_t o) const { return o * per; }
    std::size_t end(std::size_t o) const { return std::min(parsed.size(), (o + 1) * per); }
};

// The terms of outputs [first, last), in order.
std::vector<ShiftedTerms> terms_of(const Plan& plan, std::size_t first, std::size_t last) {
    std::vector<ShiftedTerms> outputs(last - first);
    for (std::size_t o = first; o < last; ++o)
        for (std::size_t i = plan.begin(o); i < plan.end(o); ++i)
            outputs[o - first].push_back(&plan.parsed[i].ciphertext);
    return outputs;
}

}  // namespace

Outcome<std::vector<Bytes>> combine(const PublicKeyRecord& pk, Blobs blobs) {
    if (blobs.empty()) return std::vector<Bytes>{};
    const unsigned capacity = packed_capacity_bits(pk.n);
    const Outcome<PackedBlob> first = parse_packed(blobs[0]);
    auto parsed = parallel_map<PackedBlob>(blobs.size(), [&](std::size_t i) {
        return combinable(pk, blobs[i], i + 1, first, capacity);
    });
    if (!parsed.ok()) return parsed.take_refusal();
    const Layout input = first.value().layout;
    const std::size_t shift = std::size_t{input.slots} * input.slot_bits;
    const Plan plan{parsed.value(), capacity / shift, shift};
    const std::size_t outputs = (blobs.size() + plan.per - 1) / plan.per;
    const PublicEngine& engine = *pk.engine;
    return parallel_map_groups<Bytes>(
        outputs, engine.lanes(), [&](std::size_t begin, std::size_t end) {
            const std::vector<mpz_class> products =
                engine.shifted_products(terms_of(plan, begin, end), plan.shift);
            Outcome<std::vector<Bytes>> out = std::vector<Bytes>{};
            for (std::size_t o = begin; o < end; ++o) {
                const Layout layout{
                    input.scale, static_cast<unsigned>((plan.end(o) - plan.begin(o)) * input.slots),
                    input.slot_bits};
                out.value().push_back(write_packed(layout, products[o - begin]));
            }
            return out;
        });
}

}  // namespace hecrypt::packed
