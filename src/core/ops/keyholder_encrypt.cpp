// Encryption by the key holder: the blobs of encrypt_many, each made modulo
// p^2 and q^2 (crt_masks.hpp). The plaintext checks, their order and their
// messages are the public path's, and r is drawn as it draws it.
#include "core/keys/crt_masks.hpp"
#include "core/ops/encryption.hpp"
#include "core/runtime/cpus.hpp"
#include "core/support/ct.hpp"
#include "terms.hpp"

namespace hecrypt {

Outcome<std::vector<Bytes>> encrypt_plaintexts(const SecretKeyRecord& sk, std::size_t count,
                                               const PlaintextOf& plaintext, const BlobOf& blob) {
    if (count == 0) return std::vector<Bytes>{};  // no tables built for nothing
    ensure(sk.crt_masks != nullptr, "the key has no randomiser base");
    CrtMasks& tables = *sk.crt_masks;
    tables.prepare(sk);
    const std::uint64_t exponent_bytes = exponent_byte_count(bit_length(sk.n));
    return checked_in_groups<WipedInteger, Bytes>(
        count, tables.group(count, pool_size()), plaintext,
        [&](std::vector<WipedInteger>& plaintexts) {
            std::vector<Digits> exponents;
            for (std::size_t i = 0; i < plaintexts.size(); ++i)
                exponents.push_back(random_digits(exponent_bytes));
            std::vector<Bytes> blobs;
            blobs.reserve(plaintexts.size());
            for (const WipedLimbs& c : tables.ciphertexts(exponents, plaintexts))
                blobs.push_back(blob(ct_from_limbs(c.view())));
            return blobs;
        });
}

}  // namespace hecrypt
