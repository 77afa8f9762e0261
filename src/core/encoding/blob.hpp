// The ciphertext blob: one scale byte, then the ciphertext integer, unsigned
// big-endian. Read in place, written in minimal form.
#pragma once

#include <cstdint>
#include <string>

#include "core/support/bigint.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

struct ParsedBlob {
    std::uint8_t scale;
    mpz_class ciphertext;
};

Outcome<ParsedBlob> parse_blob(ByteView blob);

// Byte 0 is `scale`, then the minimal big-endian bytes of c. Throws
// InternalFault for c < 0 or a scale no reader would accept.
Bytes write_blob(std::uint8_t scale, const mpz_class& c);

// 1 <= c < n^2.
bool in_range(const mpz_class& c, const mpz_class& n_squared);

// gcd(c, n) = 1.
bool coprime_with(const mpz_class& c, const mpz_class& n);

// "ciphertext #{i}: {message}", the label of a parse refusal inside a batch.
// `position` is printed as given: the first blob of a list is number 1.
std::string label_blob_refusal(std::size_t position, const std::string& message);

}  // namespace hecrypt
