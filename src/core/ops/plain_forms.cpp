#include "plain_forms.hpp"

#include "core/runtime/pool.hpp"
#include "sum_rules.hpp"

namespace hecrypt::packed {

Outcome<PackedBlob> parse_declared(ByteView blob, const std::string& label, unsigned capacity) {
    Outcome<PackedBlob> parsed = parse_packed(blob);
    if (!parsed.ok()) return refuse(label + ": " + parsed.refusal());
    if (Status fits = check_layout(parsed.value().layout, capacity); !fits.ok())
        return refuse(label + " " + fits.refusal());
    return parsed;
}

Outcome<PackedBlob> parse_declared_in_range(ByteView blob, std::size_t position,
                                            const PublicKeyRecord& pk, unsigned capacity,
                                            RangeWording wording) {
    Outcome<PackedBlob> parsed = parse_declared(blob, ciphertext_label(position), capacity);
    if (parsed.ok() && !in_range(parsed.value().ciphertext, pk.n_squared))
        return out_of_range(position, wording);
    return parsed;
}

Outcome<PlainForms> plain_forms(std::size_t count, const CheckBlob& check,
                                const std::function<bool(std::size_t)>& read) {
    struct Form {
        Bytes blob;
        Layout layout;
    };
    auto forms = parallel_map<Form>(count, [&](std::size_t i) -> Outcome<Form> {
        if (!read(i)) return Form{};
        Outcome<PackedBlob> parsed = check(i);
        if (!parsed.ok()) return parsed.take_refusal();
        const PackedBlob& blob = parsed.value();
        return Form{write_blob(blob.layout.scale, blob.ciphertext), blob.layout};
    });
    if (!forms.ok()) return forms.take_refusal();
    PlainForms out;
    out.blobs.reserve(count);
    out.layouts.reserve(count);
    for (Form& form : forms.value()) {
        out.blobs.push_back(std::move(form.blob));
        out.layouts.push_back(form.layout);
    }
    return out;
}

Bytes with_layout(const Layout& layout, Bytes plain) {
    if (layout.plain()) return plain;
    Bytes out = write_packed(layout, 0);
    out.insert(out.end(), plain.begin() + 1, plain.end());
    return out;
}

Refusal mixed_term(std::size_t position, const Layout& term, const Layout& first,
                   const char* whole) {
    const std::string while_the = std::string(" while the ") + whole + " started ";
    if (term.slots == first.slots && term.slot_bits == first.slot_bits)
        return refuse(ciphertext_label(position) + " was encoded with scale " +
                      scale_text(term.scale) + while_the + "at " + scale_text(first.scale) +
                      MIXED_SCALE_TAIL);
    return refuse(ciphertext_label(position) + " holds " + describe_shape(term) + while_the +
                  "with " + describe_shape(first) +
                  ": adding them would put values into the wrong slots");
}

}  // namespace hecrypt::packed
