// Trial division of the safe-prime search's candidate pairs (x, 2x + 1) by
// every odd prime below a bound: the step that drops almost every candidate
// before any power is computed.
#pragma once

#include <cstdint>
#include <vector>

#include "core/support/bigint.hpp"

namespace hecrypt {

// The odd primes below `bound`, ascending, by an odd-only sieve of
// Eratosthenes.
std::vector<std::uint32_t> small_primes(std::uint32_t bound);

// Whether any odd prime below a bound divides x or 2x + 1. The primes go in
// groups whose product fits a limb: one pass of mpn_mod_1 over x per group,
// then per prime two multiplications by its inverse modulo 2^64 and two
// comparisons, with no division. A candidate that passes has run through
// every group and every prime, so the work done on it, and its time, depend
// on its limb count alone.
class PairSieve {
  public:
    explicit PairSieve(std::uint32_t bound);

    // For x > 0 above every prime of the sieve.
    bool passes(const mpz_class& x) const;

  private:
    // s divides v < 2^64 exactly when v s^-1 mod 2^64 <= (2^64 - 1) / s:
    // multiplying by the inverse maps the multiples of s onto their quotients
    // and everything else above them.
    struct Divisor {
        std::uint64_t inverse;
        std::uint64_t limit;
        bool divides(std::uint64_t v) const { return v * inverse <= limit; }
    };
    // A run of divisors whose product, below 2^63, leaves room for 2r + 1.
    struct Group {
        mp_limb_t product;
        std::size_t end;  // the run is [end of the group before, end)
    };

    std::vector<Divisor> divisors_;
    std::vector<Group> groups_;
};

}  // namespace hecrypt
