// Inverses of many residues for the price of one inversion.
#pragma once

#include <vector>

#include "core/support/bigint.hpp"

namespace hecrypt {

// Replaces every x by x^-1 mod m by Montgomery's trick: the prefix products
// forward, the inverse of the whole, then each inverse backward. When some x
// has no inverse, nothing is replaced and the answer is false; the caller
// finds which. Variable time: for public residues only.
bool invert_all_vartime(std::vector<mpz_class>& xs, const mpz_class& m);

}  // namespace hecrypt
