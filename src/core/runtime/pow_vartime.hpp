// Public powers long enough to need checkpoints on the way.
#pragma once

#include "core/support/bigint.hpp"

namespace hecrypt {

// base^e mod m by mpz_powm, whose time and table accesses depend on e: for
// public exponents only. A negative e goes through the inverse of base, which
// must exist. Exponents past 4096 bits are taken in chunks with checkpoints
// between them, so that even an 8192-bit key's power answers an interrupt
// within a fraction of a second.
mpz_class pow_mod_vartime(const mpz_class& base, const mpz_class& e, const mpz_class& m);

}  // namespace hecrypt
