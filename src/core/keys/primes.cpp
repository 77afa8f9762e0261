#include "core/keys/primes.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "core/keys/candidates.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

namespace {

// How deep the sieve goes: primes below SIEVE_DEPTH_PER_BIT times the
// candidates' length. A power costs about the square of the length and a pass
// of the sieve the length times the number of primes, so the depth that costs
// least grows with the length. Priced with the measured time of a power and of
// a remainder by one limb's primes, the expected search is cheapest with a
// bound near 2^14 at 1024 bits and 2^15.5 at 1536, and changes little for
// twice or half that.
constexpr std::uint64_t SIEVE_DEPTH_PER_BIT = 32;
constexpr std::uint64_t SIEVE_BOUND_MAX = std::uint64_t{1} << 20;

// The sieve's primes stay below every candidate x >= 2^(bits - 2), so that
// none of them can be x itself.
std::uint32_t sieve_bound(std::uint32_t bits) {
    const std::uint64_t below_every_x = bits - 2 < 32 ? std::uint64_t{1} << (bits - 2) : UINT64_MAX;
    return static_cast<std::uint32_t>(
        std::min({SIEVE_DEPTH_PER_BIT * bits, SIEVE_BOUND_MAX, below_every_x}));
}

// Fresh candidates until one passes the sieve.
WipedInteger sieved_half(const CandidateSource& source, const PairSieve& sieve) {
    for (;;) {
        checkpoint();
        WipedInteger x = source.draw();
        if (sieve.passes(x)) return x;
    }
}

// One candidate under the cheap test: x first, then, once x has passed,
// 2x + 1, so that the 40-round tests see only pairs that both passed.
struct Lane {
    WipedInteger half;  // x; 0 while the lane waits for a candidate
    bool whole = false;
};

// The 40-round tests of a pair whose cheap tests both passed: p = 2x + 1, or
// nothing.
std::optional<mpz_class> tested_pair(const mpz_class& half) {
    if (!probably_prime(half)) return std::nullopt;
    const WipedInteger p = 2 * half + 1;
    if (!probably_prime(p)) return std::nullopt;
    return mpz_class(p);
}

}  // namespace

bool probably_prime(const mpz_class& x) {
    int t = mpz_probab_prime_p(x.get_mpz_t(), PRIMALITY_REPS);
    ensure(t >= 0 && t <= 2, "internal error: entered unreachable code");
    return t != 0;
}

mpz_class safe_prime(std::uint32_t bits) { return safe_prime(bits, EngineChoice::automatic); }

// Every candidate is drawn afresh, uniform over the odd numbers of bits - 1
// bits that the smallest primes leave (CandidateSource), and which one is
// returned depends on the tests' verdicts alone, never otherwise on its
// value: the result is uniform over the safe primes of the length, as if
// each odd x were drawn and tested on its own. The source, the sieve and the
// cheap tests only drop composites early.
mpz_class safe_prime(std::uint32_t bits, EngineChoice engine) {
    ensure(bits >= 8, "a safe prime shorter than eight bits is not searched for");
    const CandidateSource source(bits);
    const PairSieve sieve(sieve_bound(bits));
    std::array<Lane, PRETEST_GROUP> lanes;
    for (;;) {
        PretestModuli moduli;  // the numbers the lanes test next
        for (std::size_t l = 0; l < PRETEST_GROUP; ++l) {
            if (lanes[l].half == 0) lanes[l] = Lane{sieved_half(source, sieve)};
            if (lanes[l].whole)
                moduli[l] = 2 * lanes[l].half + 1;
            else
                moduli[l] = lanes[l].half;
        }
        const PretestResults passed = fermat_pretest(moduli, bits, engine);
        for (std::size_t l = 0; l < PRETEST_GROUP; ++l) {
            Lane& lane = lanes[l];
            if (passed[l] && !lane.whole) {
                lane.whole = true;
                continue;
            }
            if (passed[l])
                if (std::optional<mpz_class> p = tested_pair(lane.half)) return std::move(*p);
            lane = Lane{};
        }
    }
}

}  // namespace hecrypt
