#include "core/encoding/fixed_point.hpp"
#include "core/ops/packed.hpp"
#include "plain_forms.hpp"
#include "sum_rules.hpp"

namespace hecrypt::packed {

namespace {

auto every_blob = [](std::size_t) { return true; };

// The plain operation's outcome, which the packed checks made certain.
template <class T>
T certain(Outcome<T>&& outcome) {
    ensure(outcome.ok(), "a plain operation refused blobs the packed checks passed");
    return std::move(outcome.value());
}

std::vector<Bytes> with_layouts(std::vector<Bytes> plain, auto&& layout_of) {
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = with_layout(layout_of(i), std::move(plain[i]));
    return plain;
}

}  // namespace

Outcome<Bytes> add_many(const PublicKeyRecord& pk, Blobs blobs) {
    // The count refusals come before any blob is read.
    if (blobs.empty() || blobs.size() > SUM_HEADROOM_TERMS) return hecrypt::add_many(pk, blobs);
    const unsigned capacity = packed_capacity_bits(pk.n);
    // Each term's checks in order: its header, its layout against the first
    // term's, its range; the first term's layout is read once here.
    const Outcome<PackedBlob> first = parse_packed(blobs[0]);
    auto forms = plain_forms(
        blobs.size(),
        [&](std::size_t i) -> Outcome<PackedBlob> {
            Outcome<PackedBlob> term = parse_declared(blobs[i], ciphertext_label(i + 1), capacity);
            if (!term.ok()) return term;
            if (i > 0 && first.ok() && term.value().layout != first.value().layout)
                return mixed_term(i + 1, term.value().layout, first.value().layout);
            if (!in_range(term.value().ciphertext, pk.n_squared))
                return out_of_range(i + 1, RangeWording::Sum);
            return term;
        },
        every_blob);
    if (!forms.ok()) return forms.take_refusal();
    return with_layout(forms.value().layouts[0],
                       certain(hecrypt::add_many(pk, forms.value().views())));
}

Outcome<std::vector<Bytes>> add_blocks(const PublicKeyRecord& pk, Blobs blobs,
                                       std::span<const Block> blocks) {
    std::vector<std::uint8_t> referenced(blobs.size(), 0);
    for (std::size_t j = 0; j < blocks.size(); ++j)
        if (Status ok = check_block(blocks[j], j + 1, blobs.size(), referenced); !ok.ok())
            return ok.take_refusal();
    const unsigned capacity = packed_capacity_bits(pk.n);
    auto forms = plain_forms(
        blobs.size(),
        [&](std::size_t i) {
            return parse_declared_in_range(blobs[i], i + 1, pk, capacity, RangeWording::Sum);
        },
        [&](std::size_t i) { return referenced[i] != 0; });
    if (!forms.ok()) return forms.take_refusal();
    const std::vector<Layout>& layouts = forms.value().layouts;
    const auto mixed = first_mixed_term(blocks, [&](std::uint64_t first, std::uint64_t term) {
        return layouts[first] == layouts[term];
    });
    if (mixed) {
        const auto [j, p] = *mixed;
        const Layout& term = layouts[blocks[j][p]];
        const Layout& first = layouts[blocks[j].front()];
        const std::string where = "block #" + std::to_string(j + 1) + " mixes ";
        const std::string at = " at position " + std::to_string(p + 1) + " into a sum started ";
        if (term.slots == first.slots && term.slot_bits == first.slot_bits)
            return refuse(where + "scale " + scale_text(term.scale) + at + "at " +
                          scale_text(first.scale) + MIXED_SCALE_TAIL);
        return refuse(where + describe_shape(term) + at + "with " + describe_shape(first) +
                      ": adding them would put values into the wrong slots");
    }
    return with_layouts(certain(hecrypt::add_blocks(pk, forms.value().views(), blocks)),
                        [&](std::size_t j) { return layouts[blocks[j].front()]; });
}

Outcome<std::vector<Bytes>> rerandomize(const PublicKeyRecord& pk, Blobs blobs) {
    const unsigned capacity = packed_capacity_bits(pk.n);
    auto forms = plain_forms(
        blobs.size(),
        [&](std::size_t i) {
            return parse_declared_in_range(blobs[i], i + 1, pk, capacity, RangeWording::Plain);
        },
        every_blob);
    if (!forms.ok()) return forms.take_refusal();
    return with_layouts(certain(hecrypt::rerandomize(pk, forms.value().views())),
                        [&](std::size_t i) { return forms.value().layouts[i]; });
}

}  // namespace hecrypt::packed
