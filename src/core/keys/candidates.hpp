// The safe-prime search's candidates x, for primes p = 2x + 1 of a given
// length: uniform over the odd x of bits - 1 bits, less those that one of the
// smallest odd primes divides, or whose 2x + 1 it divides. The sieve would
// drop those at once; drawing only the others saves nineteen draws of
// twenty, and their random bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "core/support/bigint.hpp"

namespace hecrypt {

class CandidateSource {
  public:
    explicit CandidateSource(std::uint32_t bits);

    // A fresh candidate from the calling thread's random source: x = a + M t
    // for M twice the chosen primes, a the sum of a drawn residue per prime
    // and t a random multiplier, drawn again as a whole until x has its
    // length. Every x in range comes from exactly one (a, t), so all are
    // alike. Products and sums of words and a length check, no division:
    // the time depends on the draws rejected, not on the x kept.
    WipedInteger draw() const;

    // The primes whose residues are chosen, ascending.
    std::vector<std::uint32_t> primes() const;

  private:
    // x mod s is one of the s - 2 residues other than 0 and (s - 1) / 2 (at
    // which s divides 2x + 1); it enters x through `basis`, which is 1
    // modulo s and 0 modulo 2 and every other chosen prime.
    struct Residue {
        std::uint64_t prime;
        std::uint64_t basis;
        std::uint64_t reject_below;  // 2^64 mod (s - 2): the draws that would bias
    };

    std::uint64_t drawn_residue(const Residue& r) const;
    WipedInteger residue_sum() const;

    std::vector<Residue> residues_;
    mp_limb_t modulus_ = 2;  // M
    std::uint32_t bits_;
    mpz_class first_multiplier_;
    std::size_t multiplier_bits_ = 0;  // t - first_multiplier_ has this many random bits
};

}  // namespace hecrypt
