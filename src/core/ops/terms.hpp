// Pieces shared by the operations: reading one blob of a batch against a
// key, and the fresh randomiser hs^r.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "../blob.hpp"
#include "../keys.hpp"

namespace hecrypt {

// The words of the range refusal differ between the sums and the others.
enum class RangeWording { Plain, Sum };

// The range refusal of the blob at a 1-based position.
Refusal out_of_range(std::size_t position, RangeWording wording);

// parse_blob plus the range test, refusals labelled with the 1-based position.
Outcome<ParsedBlob> parse_in_range(ByteView blob, std::size_t position, const mpz_class& n_squared,
                                   RangeWording wording);

// hs^r mod n^2 for a fresh exponent r from the calling thread's generator.
mpz_class random_mask(const PublicKeyRecord& pk);

// c^k mod m for 0 < |k| < 2^64, in time that does not depend on k; nothing
// when c has no inverse modulo m.
std::optional<mpz_class> scalar_power(const mpz_class& c, const mpz_class& k,
                                      const mpz_class& modulus);

// acc = acc c mod m, by GMP's general multiplication and division, whose
// time depends on the values: for public operands only.
void mul_mod_vartime(mpz_class& acc, const mpz_class& c, const mpz_class& m);

// "ciphertext #{i}" and "scalar #{i}".
std::string ciphertext_label(std::size_t position);
std::string scalar_label(std::size_t position);

}  // namespace hecrypt
