// Products by scalars, c^k mod n^2, eight pairs at a time on the 8-lane
// engine. The callers have checked every pair, c's coprimality with n
// included, so every power exists.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/keys/keys.hpp"

namespace hecrypt {

// A pair that passed its checks: the ciphertext and the encoded scalar,
// 0 < |k| < 2^64, which may be secret and wipes itself, and the scale of the
// product.
struct ScalarPair {
    std::size_t position;
    mpz_class c;
    WipedInteger k;
    unsigned scale;
};

// The index of the first pair whose c shares a factor with n, if any: one
// gcd for the whole span when none does.
std::optional<std::size_t> first_not_coprime(std::span<const ScalarPair> pairs, const mpz_class& n);

// c^k for secret scalars in constant time, as scalar_power does it: c^(k +
// 3 2^64) by a power at the fixed width of 66 bits, times the inverse of the
// public c^(3 2^64), the inverses of a span shared by Montgomery's trick.
std::vector<mpz_class> secret_powers8(const PublicKeyRecord& pk, std::span<const ScalarPair> pairs);

// c^k for public scalars: c^|k| at the width of the group's longest scalar,
// inverted where k < 0.
std::vector<mpz_class> public_powers8(const PublicKeyRecord& pk, std::span<const ScalarPair> pairs);

}  // namespace hecrypt
