// public_key_from_n on arbitrary modulus bytes: it accepts exactly the odd
// moduli of 2047 to 8192 bits given in at most 1024 bytes, refuses the rest
// with the documented words, and an accepted key is the input's number.
// Meant for short inputs (-max_len=260): the length and parity rules are
// what it aims at, and every accepted key costs a 2048-bit derivation.
#include <cstdint>
#include <set>
#include <string>

#include "core/encoding/fixed_point.hpp"
#include "core/keys/keys.hpp"
#include "fuzz_support.hpp"

using namespace hecrypt;
using namespace hecrypt::fuzz;

namespace {

// The words an input must be refused with, or none when it must be accepted.
std::optional<std::string> expected_refusal(ByteView raw, const mpz_class& n) {
    if (raw.size() > MAX_MODULUS_BYTES)
        return "modulus of " + std::to_string(raw.size()) +
               " bytes is longer than the 1024 bytes that 8192 bits allow";
    if (mpz_odd_p(n.get_mpz_t()) == 0) return "modulus must be odd";
    const std::size_t bits = mpz_sizeinbase(n.get_mpz_t(), 2);
    if (bits < 2047) return message(KeyCheckError::ModulusTooShort);
    if (bits > 8192) return message(KeyCheckError::ModulusTooLong);
    return std::nullopt;
}

void check_key(const PublicKeyRecord& key, ByteView raw, const mpz_class& n) {
    const std::size_t bits = mpz_sizeinbase(n.get_mpz_t(), 2);
    require(key.modulus_bytes() == without_leading_zeros(raw),
            "modulus_bytes is not the input without its leading zeros");
    require(key.n == n && key.n_squared == n * n, "key holds another modulus");
    require(key.exponent_byte_count == (bits / 2 + 7) / 8, "exponent length is not half of n");
    require(key.plaintext_bound_bits() == bits - 21, "plaintext bound is not n / 2^21");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView raw(data, size);
    const mpz_class n = integer_of(raw);
    Outcome<PublicKeyRecord> key = public_key_from_n(raw);
    const std::optional<std::string> refusal = expected_refusal(raw, n);
    // A valid-looking modulus may still defeat the derivation of hs; that is
    // a documented refusal, though no honest modulus should ever see it.
    static const std::set<std::string> derivation_refusals{
        message(KeyCheckError::AttemptBudgetExhausted), message(KeyCheckError::PowModUndefined)};
    if (!refusal && !key.ok() && derivation_refusals.count(key.refusal())) return 0;
    require_refusal(key, refusal, "refusal of a modulus");
    if (key.ok()) check_key(key.value(), raw, n);
    return 0;
}
