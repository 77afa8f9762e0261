#include "core/encoding/fixed_point.hpp"
#include "core/ops/encryption.hpp"
#include "core/ops/ops.hpp"
#include "core/runtime/pool.hpp"
#include "terms.hpp"

namespace hecrypt {

namespace {

// (1 + m n) hs^r mod n^2, given hs^r.
Bytes ciphertext_of(const PublicKeyRecord& pk, const mpz_class& m, const mpz_class& mask,
                    const BlobOf& blob) {
    mpz_class c = m * pk.n + 1;
    mpz_fdiv_r(c.get_mpz_t(), c.get_mpz_t(), pk.n_squared.get_mpz_t());
    mul_mod_vartime(c, mask, pk.n_squared);
    return blob(c);
}

}  // namespace

Outcome<std::vector<Bytes>> encrypt_plaintexts(const PublicKeyRecord& pk, std::size_t count,
                                               const PlaintextOf& plaintext, const BlobOf& blob) {
    const auto finish = [&](const WipedInteger& m, const mpz_class& mask) {
        return ciphertext_of(pk, m, mask, blob);
    };
    return masked_in_groups<WipedInteger>(pk, count, plaintext, finish);
}

namespace {

// The values encoded as encrypt_many encodes them, under either key.
Outcome<std::vector<Bytes>> encrypt_values(const EncryptionKey& key, std::span<const double> values,
                                           unsigned scale_pow10) {
    const mpz_class bound = plaintext_bound(key.n());
    if (scale_pow10 > MAX_SCALE_POW10) return refuse(scale_limit_message(scale_pow10));
    const double factor = scale_factor(scale_pow10);
    return key.encrypt(
        values.size(), [&](std::size_t i) { return encode_plaintext(values[i], factor, bound); },
        [&](const mpz_class& c) { return write_blob(static_cast<std::uint8_t>(scale_pow10), c); });
}

}  // namespace

Outcome<std::vector<Bytes>> encrypt_many(const PublicKeyRecord& pk, std::span<const double> values,
                                         unsigned scale_pow10) {
    return encrypt_values(pk, values, scale_pow10);
}

Outcome<std::vector<Bytes>> keyholder_encrypt_many(const SecretKeyRecord& sk,
                                                   std::span<const double> values,
                                                   unsigned scale_pow10) {
    return encrypt_values(sk, values, scale_pow10);
}

}  // namespace hecrypt
