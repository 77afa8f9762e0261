#include "terms.hpp"

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
    WipedBytes r(byte_count);
    fill_random(r);
    return exponent_digits(r);
}

std::vector<WipedInteger> random_masks(const PublicKeyRecord& pk, std::size_t count) {
    std::vector<Digits> digits;
    for (std::size_t i = 0; i < count; ++i) digits.push_back(random_digits(pk.exponent_byte_count));
    return pk.engine->masks(digits);
}

}  // namespace hecrypt
