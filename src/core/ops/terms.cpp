#include "terms.hpp"

#include "core/engine/portable/fast.hpp"
#include "core/runtime/rng.hpp"

namespace hecrypt {

std::string ciphertext_label(std::size_t position) {
    return "ciphertext #" + std::to_string(position);
}

std::string scalar_label(std::size_t position) { return "scalar #" + std::to_string(position); }

Refusal out_of_range(std::size_t position, RangeWording wording) {
    std::string text = ciphertext_label(position) + " is not in [1, n^2) of this key";
    if (wording == RangeWording::Sum)
        text += ": a valid ciphertext is an invertible residue modulo n^2, and this one is not";
    return refuse(std::move(text));
}

Outcome<ParsedBlob> parse_in_range(ByteView blob, std::size_t position, const mpz_class& n_squared,
                                   RangeWording wording) {
    Outcome<ParsedBlob> parsed = parse_blob(blob);
    if (!parsed.ok()) return refuse(label_blob_refusal(position, parsed.refusal()));
    if (!in_range(parsed.value().ciphertext, n_squared)) return out_of_range(position, wording);
    return parsed;
}

Digits random_digits(std::uint64_t byte_count) {
    Bytes r = random_bytes(byte_count);
    Digits digits = exponent_digits(r);
    wipe(r);
    return digits;
}

mpz_class random_mask(const PublicKeyRecord& pk) {
    Digits digits = random_digits(pk.exponent_byte_count);
    mpz_class mask = pow_fixed(pk.table, digits);
    wipe(digits);
    return mask;
}

Values8 random_masks8(const PublicKeyRecord& pk, std::size_t count) {
    ensure(pk.table8.has_value(), "the key has no 8-lane table");
    ensure(count <= IFMA_LANES, "more items than lanes");
    Digits8 digits;
    for (std::size_t l = 0; l < count; ++l) digits[l] = random_digits(pk.exponent_byte_count);
    Values8 masks = pow_fixed8(*pk.table8, digits);
    for (Digits& lane : digits) wipe(lane);
    return masks;
}

void mul_mod_vartime(mpz_class& acc, const mpz_class& c, const mpz_class& m) {
    mpz_mul(acc.get_mpz_t(), acc.get_mpz_t(), c.get_mpz_t());
    mpz_tdiv_r(acc.get_mpz_t(), acc.get_mpz_t(), m.get_mpz_t());
}

}  // namespace hecrypt
