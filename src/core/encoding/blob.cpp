#include "core/encoding/blob.hpp"

#include "core/encoding/fixed_point.hpp"

namespace hecrypt {

Outcome<ParsedBlob> parse_blob(ByteView blob) {
    if (blob.empty())
        return refuse("ciphertext is empty: it must start with a scale exponent byte");
    const std::uint8_t scale = blob[0];
    if (scale > MAX_SCALE_POW10) return refuse(scale_limit_message(scale));
    return ParsedBlob{scale, from_bytes_be(blob.subspan(1))};
}

Bytes write_blob(std::uint8_t scale, const mpz_class& c) {
    ensure(c >= 0, "a negative integer cannot be written as a ciphertext");
    ensure(scale <= MAX_SCALE_POW10, "a blob is being written with a scale no reader accepts");
    // Exported straight behind the scale byte: results are written once per
    // item of every batch, so a second buffer and copy would be pure waste.
    Bytes out(1 + (bit_length(c) + 7) / 8);
    out[0] = scale;
    if (c != 0) mpz_export(out.data() + 1, nullptr, 1, 1, 1, 0, c.get_mpz_t());
    return out;
}

bool in_range(const mpz_class& c, const mpz_class& n_squared) { return c >= 1 && c < n_squared; }

bool coprime_with(const mpz_class& c, const mpz_class& n) { return gcd(c, n) == 1; }

std::string label_blob_refusal(std::size_t position, const std::string& message) {
    return "ciphertext #" + std::to_string(position) + ": " + message;
}

}  // namespace hecrypt
