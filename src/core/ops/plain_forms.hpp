// Packed blobs handed to the plain operations. A packed sum multiplies the
// same integers as a plain one and only its header differs, so the packed
// entries check headers and ranges themselves, then run the plain operation
// on each blob's integer behind its scale byte, and put the layout back on
// the results.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "core/encoding/packed.hpp"
#include "core/ops/ops.hpp"
#include "terms.hpp"

namespace hecrypt::packed {

struct PlainForms {
    std::vector<Bytes> blobs;     // empty for a blob nobody reads
    std::vector<Layout> layouts;  // of each blob read

    std::vector<ByteView> views() const { return {blobs.begin(), blobs.end()}; }
};

// A blob parsed and its layout checked against the key's capacity; the
// refusals start with `label` ("ciphertext #3", "minuend #2").
Outcome<PackedBlob> parse_declared(ByteView blob, const std::string& label, unsigned capacity);

// check(i) -> Outcome<PackedBlob> for every blob i with read(i), in
// parallel: the plain form and the layout of each, or the lowest refusal.
using CheckBlob = std::function<Outcome<PackedBlob>(std::size_t)>;
Outcome<PlainForms> plain_forms(std::size_t count, const CheckBlob& check,
                                const std::function<bool(std::size_t)>& read);

// A blob of `wording`'s range rule, parsed as parse_declared does.
Outcome<PackedBlob> parse_declared_in_range(ByteView blob, std::size_t position,
                                            const PublicKeyRecord& pk, unsigned capacity,
                                            RangeWording wording);

// The plain result of a plain operation, given back its layout.
Bytes with_layout(const Layout& layout, Bytes plain);

// "ciphertext #{i} holds ... while the {whole} started with ...", or the
// plain mixed-scale words when only the scales differ.
Refusal mixed_term(std::size_t position, const Layout& term, const Layout& first,
                   const char* whole = "sum");

}  // namespace hecrypt::packed
