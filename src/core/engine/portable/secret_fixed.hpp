// The portable engine's powers of a fixed base modulo a prime's square, and
// the wiping of a window table whose modulus is secret.
#pragma once

#include <memory>

#include "core/engine/engine.hpp"

namespace hecrypt {

// Zeroes the windows and the context of a table built modulo a secret.
void wipe_table(FixedBaseTable& table);

std::unique_ptr<const SecretFixedPowers> portable_fixed_powers(const mpz_class& base,
                                                               const mpz_class& square,
                                                               std::size_t windows);

}  // namespace hecrypt
