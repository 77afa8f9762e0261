#include "core/encoding/fixed_point.hpp"
#include "core/engine/engine.hpp"
#include "core/keys/secret.hpp"
#include "core/ops/packed.hpp"
#include "core/runtime/cpus.hpp"
#include "core/runtime/pool.hpp"
#include "core/support/secure_memory.hpp"
#include "plain_forms.hpp"

namespace hecrypt::packed {

namespace {

using Slots = std::vector<double>;

// Blob i's checks before any exponentiation: its header, its layout against
// the key, that it is a ciphertext under the key.
Outcome<PackedBlob> decryptable_blob(const SecretKeyRecord& sk, ByteView blob, std::size_t position,
                                     unsigned capacity) {
    Outcome<PackedBlob> parsed = parse_declared(blob, ciphertext_label(position), capacity);
    if (parsed.ok() && !decryptable(sk, parsed.value().ciphertext))
        return refuse(ciphertext_label(position) + " is not one under this key");
    return parsed;
}

// The floats of one plaintext: a plain one as decrypt gives it, a packed one
// slot by slot from its balanced digits. m keeps the width decryption wrote
// it at, which the digits are read at.
Outcome<Slots> slot_values(const SecretKeyRecord& sk, const mpz_class& m, const Layout& layout,
                           std::size_t position) {
    if (layout.plain()) {
        Outcome<double> x = decode_float(m, layout.scale);
        if (!x.ok()) return refuse(ciphertext_label(position) + ": " + x.refusal());
        return Slots{x.value()};
    }
    std::optional<std::vector<mpz_class>> digits =
        balanced_slots(m, sk.n, layout.slots, layout.slot_bits);
    if (!digits)
        return refuse(ciphertext_label(position) + " does not decode into its " +
                      describe_shape(layout) +
                      ": its plaintext carries out of the top slot, so a sum or a difference "
                      "outgrew the slots, and no slot of it can be trusted");
    Slots out;
    for (std::size_t j = 0; j < digits->size(); ++j) {
        Outcome<double> x = decode_float((*digits)[j], layout.scale);
        wipe((*digits)[j]);
        if (!x.ok())
            return refuse(ciphertext_label(position) + ", slot #" + std::to_string(j + 1) + ": " +
                          x.refusal());
        out.push_back(x.value());
    }
    return out;
}

// Blobs [begin, end): those before the first that fails its checks are
// decrypted together, and the lowest refusal among all of them wins.
Outcome<std::vector<Slots>> decrypt_group(const SecretKeyRecord& sk, Blobs blobs, std::size_t begin,
                                          std::size_t end, unsigned capacity) {
    const StackWipe wipe_stack(DECRYPT_STACK_WIPE_BYTES);  // on whichever thread ran it
    std::vector<PackedBlob> checked;
    std::optional<Refusal> failed;
    for (std::size_t i = begin; i < end && !failed; ++i) {
        Outcome<PackedBlob> blob = decryptable_blob(sk, blobs[i], i + 1, capacity);
        if (blob.ok())
            checked.push_back(std::move(blob.value()));
        else
            failed = blob.take_refusal();
    }
    std::vector<const mpz_class*> ciphertexts;
    for (const PackedBlob& blob : checked) ciphertexts.push_back(&blob.ciphertext);
    std::vector<mpz_class> plaintexts = decrypt_integers(sk, ciphertexts);
    std::vector<Slots> out;
    std::optional<Refusal> refused;
    for (std::size_t i = 0; i < checked.size(); ++i) {
        const WipedInteger m(std::move(plaintexts[i]));
        if (refused) continue;  // every plaintext is still wiped
        Outcome<Slots> values = slot_values(sk, m, checked[i].layout, begin + i + 1);
        if (values.ok())
            out.push_back(std::move(values.value()));
        else
            refused = values.take_refusal();
    }
    if (refused) return std::move(*refused);
    if (failed) return std::move(*failed);
    return out;
}

}  // namespace

Outcome<std::vector<double>> decrypt(const SecretKeyRecord& sk, Blobs blobs) {
    const unsigned capacity = packed_capacity_bits(sk.n);
    auto groups =
        parallel_map_groups<Slots>(blobs.size(), sk.engine->group_size(blobs.size(), pool_size()),
                                   [&](std::size_t begin, std::size_t end) {
                                       return decrypt_group(sk, blobs, begin, end, capacity);
                                   });
    if (!groups.ok()) return groups.take_refusal();
    std::vector<double> flat;
    for (const Slots& slots : groups.value()) flat.insert(flat.end(), slots.begin(), slots.end());
    return flat;
}

}  // namespace hecrypt::packed
