#include "core/encoding/fixed_point.hpp"
#include "core/engine/engine.hpp"
#include "core/keys/secret.hpp"
#include "core/ops/ops.hpp"
#include "core/runtime/cpus.hpp"
#include "core/runtime/pool.hpp"
#include "core/support/secure_memory.hpp"
#include "terms.hpp"

namespace hecrypt {

Outcome<double> decrypt(const SecretKeyRecord& sk, ByteView blob) {
    const StackWipe wipe_stack(DECRYPT_STACK_WIPE_BYTES);
    Outcome<ParsedBlob> parsed = parse_blob(blob);
    if (!parsed.ok()) return parsed.take_refusal();
    std::optional<mpz_class> m = decrypt_integer(sk, parsed.value().ciphertext);
    if (!m)
        return refuse(
            "not a ciphertext under this key: a valid one lies in [1, n^2) and is coprime with "
            "n. A ciphertext made under a different key usually lands here, but not always - "
            "there is no pairing check, and there cannot be one from n alone");
    Outcome<double> value = decode_float(*m, parsed.value().scale);
    wipe(*m);
    return value;
}

namespace {

// The ciphertext of the blob at a 1-based position, if decrypt_many takes it.
Outcome<mpz_class> exact_ciphertext(const SecretKeyRecord& sk, ByteView blob,
                                    std::size_t position) {
    Outcome<ParsedBlob> parsed = parse_blob(blob);
    if (!parsed.ok()) return refuse(label_blob_refusal(position, parsed.refusal()));
    if (unsigned s = parsed.value().scale; s != 0)
        return refuse(ciphertext_label(position) + " carries scale 1e" + std::to_string(s) +
                      ": an exact decryption returns the plaintext integer, and a scale would "
                      "divide it back into a float");
    if (!decryptable(sk, parsed.value().ciphertext))
        return refuse(ciphertext_label(position) + " is not one under this key");
    return std::move(parsed.value().ciphertext);
}

// The decimal plaintexts of a group of checked ciphertexts.
std::vector<std::string> exact_texts(const SecretKeyRecord& sk, std::vector<mpz_class>& cs) {
    const StackWipe wipe_stack(DECRYPT_STACK_WIPE_BYTES);  // on whichever thread ran it
    std::vector<const mpz_class*> group;
    for (const mpz_class& c : cs) group.push_back(&c);
    std::vector<mpz_class> plaintexts = decrypt_integers(sk, group);
    std::vector<std::string> texts;
    for (mpz_class& m : plaintexts) {
        texts.push_back(decimal_text(m));
        wipe(m);
    }
    return texts;
}

}  // namespace

Outcome<std::vector<std::string>> decrypt_many(const SecretKeyRecord& sk, Blobs blobs) {
    return checked_in_groups<mpz_class, std::string>(
        blobs.size(), sk.engine->group_size(blobs.size(), pool_size()),
        [&](std::size_t i) { return exact_ciphertext(sk, blobs[i], i + 1); },
        [&](std::vector<mpz_class>& cs) { return exact_texts(sk, cs); });
}

}  // namespace hecrypt
