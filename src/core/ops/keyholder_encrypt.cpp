// Encryption by the key holder: the blobs of encrypt_many, each mask made
// modulo p^2 and q^2 (crt_masks.hpp). The plaintext checks, their order and
// their messages are the public path's, and r is drawn as it draws it.
#include "core/keys/crt_masks.hpp"
#include "core/ops/encryption.hpp"
#include "core/runtime/cpus.hpp"
#include "core/support/ct.hpp"
#include "terms.hpp"

namespace hecrypt {

namespace {

// (1 + m n) mask mod n^2; the mask is a secret of this encryption, so the
// product is the constant-time one.
Bytes ciphertext_of(const SecretKeyRecord& sk, LimbView n_squared, const WipedInteger& m,
                    const WipedLimbs& mask, const BlobOf& blob) {
    WipedInteger message = m * sk.n + 1;
    mpz_fdiv_r(message.get_mpz_t(), message.get_mpz_t(), sk.n_squared.get_mpz_t());
    WipedLimbs factor(n_squared.size()), product(n_squared.size());
    write_limbs(message, factor.span());
    ct_mul_mod(product.span(), factor.view(), mask.view(), n_squared);
    return blob(ct_from_limbs(product.view()));
}

}  // namespace

Outcome<std::vector<Bytes>> encrypt_plaintexts(const SecretKeyRecord& sk, std::size_t count,
                                               const PlaintextOf& plaintext, const BlobOf& blob) {
    if (count == 0) return std::vector<Bytes>{};  // no tables built for nothing
    ensure(sk.crt_masks != nullptr, "the key has no randomiser base");
    CrtMasks& tables = *sk.crt_masks;
    tables.prepare(sk);
    const std::uint64_t exponent_bytes = exponent_byte_count(bit_length(sk.n));
    const LimbView n_squared = limbs_of(sk.n_squared);
    return checked_in_groups<WipedInteger, Bytes>(
        count, tables.group(count, pool_size()), plaintext,
        [&](std::vector<WipedInteger>& plaintexts) {
            std::vector<Digits> exponents;
            for (std::size_t i = 0; i < plaintexts.size(); ++i)
                exponents.push_back(random_digits(exponent_bytes));
            const std::vector<WipedLimbs> masks = tables.masks(exponents);
            std::vector<Bytes> blobs;
            blobs.reserve(plaintexts.size());
            for (std::size_t i = 0; i < plaintexts.size(); ++i)
                blobs.push_back(ciphertext_of(sk, n_squared, plaintexts[i], masks[i], blob));
            return blobs;
        });
}

}  // namespace hecrypt
