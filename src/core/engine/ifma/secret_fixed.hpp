// The 8-lane engine's powers of a fixed base modulo a prime's square.
#pragma once

#include <memory>

#include "core/engine/engine.hpp"

namespace hecrypt {

// `square` must fit the 8-lane engine, as p^2 and q^2 of its keys do.
std::unique_ptr<const SecretFixedPowers> ifma_fixed_powers(const mpz_class& base,
                                                           const mpz_class& square,
                                                           std::size_t windows);

}  // namespace hecrypt
