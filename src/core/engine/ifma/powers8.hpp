// Products by scalars, c^k mod n^2, eight at a time on the 8-lane engine.
// The callers have checked every request, c's coprimality with n included,
// so every power exists.
#pragma once

#include <span>
#include <vector>

#include "core/engine/engine.hpp"
#include "core/engine/ifma/context.hpp"

namespace hecrypt {

// c^k for secret scalars in constant time, as scalar_power does it: c^(k +
// 3 2^64) by a power at the fixed width of 66 bits, times the inverse of the
// public c^(3 2^64), the inverses of a span shared by Montgomery's trick.
std::vector<mpz_class> secret_powers8(const IfmaContext& ctx, const mpz_class& n_squared,
                                      std::span<const PowerRequest> requests);

// c^k for public scalars: c^|k| at the width of the group's longest scalar,
// inverted where k < 0.
std::vector<mpz_class> public_powers8(const IfmaContext& ctx, const mpz_class& n_squared,
                                      std::span<const PowerRequest> requests);

}  // namespace hecrypt
