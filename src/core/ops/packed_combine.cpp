#include "core/engine/ifma/shifted8.hpp"
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

// The shifted products of outputs [first, last) on the portable engine.
std::vector<mpz_class> products_portable(const PublicKeyRecord& pk, const Plan& plan,
                                         std::size_t first, std::size_t last) {
    std::vector<mpz_class> out;
    const mpz_class shift = mpz_class(1) << plan.shift;
    for (std::size_t o = first; o < last; ++o) {
        mpz_class acc = plan.parsed[plan.end(o) - 1].ciphertext;
        for (std::size_t i = plan.end(o) - 1; i-- > plan.begin(o);) {
            acc = pow_mod_vartime(acc, shift, pk.n_squared);
            mul_mod_vartime(acc, plan.parsed[i].ciphertext, pk.n_squared);
        }
        out.push_back(std::move(acc));
    }
    return out;
}

// The same on the key's 8-lane engine, one output to a lane.
std::vector<mpz_class> products_in_lanes(const PublicKeyRecord& pk, const Plan& plan,
                                         std::size_t first, std::size_t last) {
    std::vector<Values8> terms(plan.per);
    for (std::size_t o = first; o < last; ++o)
        for (std::size_t i = 0; i < plan.per; ++i)
            terms[i][o - first] =
                plan.begin(o) + i < plan.end(o) ? plan.parsed[plan.begin(o) + i].ciphertext : 1;
    Values8 lanes = ifma_shifted_product8(pk.table8->context, terms, plan.shift);
    return {std::make_move_iterator(lanes.begin()),
            std::make_move_iterator(lanes.begin() + static_cast<std::ptrdiff_t>(last - first))};
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
    const std::size_t group = pk.table8 ? IFMA_LANES : 1;
    return parallel_map_groups<Bytes>(outputs, group, [&](std::size_t begin, std::size_t end) {
        std::vector<mpz_class> products = pk.table8 ? products_in_lanes(pk, plan, begin, end)
                                                    : products_portable(pk, plan, begin, end);
        Outcome<std::vector<Bytes>> out = std::vector<Bytes>{};
        for (std::size_t o = begin; o < end; ++o) {
            const Layout layout{input.scale,
                                static_cast<unsigned>((plan.end(o) - plan.begin(o)) * input.slots),
                                input.slot_bits};
            out.value().push_back(write_packed(layout, products[o - begin]));
        }
        return out;
    });
}

}  // namespace hecrypt::packed
