#include "../fixed_point.hpp"
#include "../ops.hpp"
#include "../runtime/pool.hpp"
#include "../secret.hpp"
#include "../secure_memory.hpp"
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

Outcome<std::string> decrypt_exact(const SecretKeyRecord& sk, ByteView blob, std::size_t position) {
    const StackWipe wipe_stack(DECRYPT_STACK_WIPE_BYTES);  // on whichever thread ran it
    Outcome<ParsedBlob> parsed = parse_blob(blob);
    if (!parsed.ok()) return refuse(label_blob_refusal(position, parsed.refusal()));
    if (unsigned s = parsed.value().scale; s != 0)
        return refuse(ciphertext_label(position) + " carries scale 1e" + std::to_string(s) +
                      ": an exact decryption returns the plaintext integer, and a scale would "
                      "divide it back into a float");
    std::optional<mpz_class> m = decrypt_integer(sk, parsed.value().ciphertext);
    if (!m) return refuse(ciphertext_label(position) + " is not one under this key");
    std::string text = decimal_text(*m);
    wipe(*m);
    return text;
}

}  // namespace

Outcome<std::vector<std::string>> decrypt_many(const SecretKeyRecord& sk, Blobs blobs) {
    return parallel_map<std::string>(
        blobs.size(), [&](std::size_t i) { return decrypt_exact(sk, blobs[i], i + 1); });
}

}  // namespace hecrypt
