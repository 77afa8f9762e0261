// The safe-prime search piece by piece against plain arithmetic: the sieve
// against trial division, the cheap test against mpz_powm, and the primes
// both engines find against the properties a key needs and a uniform draw.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "core/keys/candidates.hpp"
#include "core/keys/keys.hpp"
#include "core/keys/primes.hpp"
#include "core/runtime/interrupt.hpp"
#include "engines.hpp"

namespace hecrypt {
namespace {

bool divisible(const mpz_class& x, std::uint32_t s) { return mpz_divisible_ui_p(x.get_mpz_t(), s); }

std::vector<std::uint32_t> odd_primes_by_trial_division(std::uint32_t bound) {
    std::vector<std::uint32_t> primes;
    for (std::uint32_t n = 3; n < bound; n += 2) {
        bool prime = true;
        for (std::uint32_t d = 3; d * d <= n && prime; d += 2) prime = n % d != 0;
        if (prime) primes.push_back(n);
    }
    return primes;
}

class SmallPrimes : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(SmallPrimes, AreTheOddPrimesBelowTheBound) {
    EXPECT_EQ(small_primes(GetParam()), odd_primes_by_trial_division(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Bounds, SmallPrimes, ::testing::Values(3, 4, 5, 9, 64, 4096, 65536));

struct SieveCase {
    std::uint32_t bound;
    unsigned bits;  // of the random candidates
};

class Sieve : public ::testing::TestWithParam<SieveCase> {};

// Random candidates, and ones made to sit on the edges: a multiple of each
// prime, an x with 2x + 1 a multiple, and x one below a multiple of a whole
// group's product (the largest remainder, whose 2r + 1 needs the 64th bit).
TEST_P(Sieve, AgreesWithTrialDivision) {
    const auto [bound, bits] = GetParam();
    const std::vector<std::uint32_t> primes = small_primes(bound);
    const PairSieve sieve(bound);
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(bound + bits);
    std::vector<mpz_class> xs;
    for (int i = 0; i < 3000; ++i)
        xs.push_back(rng.get_z_bits(bits) | (mpz_class(1) << (bits - 1)));
    const mpz_class base = mpz_class(1) << (bits - 1);
    mpz_class product = 1;
    for (std::uint32_t s : primes) {
        xs.push_back(base + s - base % s);                // s | x
        xs.push_back(base + (s - 1) / 2 + s - base % s);  // s | 2x + 1
        if (product * s >= mpz_class(1) << 63) product = 1;
        product *= s;
        xs.push_back(base + 2 * product - 1 - base % product);  // x = -1 mod the group so far
    }
    int passing = 0;
    for (const mpz_class& x : xs) {
        bool expected = true;
        for (std::uint32_t s : primes)
            expected = expected && !divisible(x, s) && !divisible(2 * x + 1, s);
        ASSERT_EQ(sieve.passes(x), expected) << x.get_str(16);
        passing += expected;
    }
    EXPECT_GT(passing, 0);
}

INSTANTIATE_TEST_SUITE_P(BoundsAndLengths, Sieve,
                         ::testing::Values(SieveCase{64, 70}, SieveCase{4096, 64},
                                           SieveCase{4096, 1023}, SieveCase{65536, 130},
                                           SieveCase{65536, 1535}));

// Whether counts drawn `draws` times from k equally likely values look like
// it: the chi-squared statistic within about seven standard deviations of
// its mean, k - 1. A draw that favoured some values fails by far.
template <class Key>
void expect_uniform(const std::map<Key, int>& counts, int draws) {
    const double expected = double(draws) / counts.size(), df = counts.size() - 1.0;
    double chi2 = 0;
    for (const auto& [value, c] : counts) chi2 += (c - expected) * (c - expected) / expected;
    EXPECT_LT(chi2, df + 7 * std::sqrt(2 * df)) << counts.size() << " values";
}

bool admissible(const mpz_class& x, const std::vector<std::uint32_t>& primes) {
    for (std::uint32_t s : primes)
        if (divisible(x, s) || divisible(2 * x + 1, s)) return false;
    return true;
}

class Candidates : public ::testing::TestWithParam<unsigned> {};

// Lengths at which M is 2, 6, 30 and 210: each odd x of bits - 1 bits that
// the chosen primes leave comes as often as every other.
TEST_P(Candidates, UniformOverTheOddXTheChosenPrimesLeave) {
    const unsigned bits = GetParam();
    const CandidateSource source(bits);
    const std::vector<std::uint32_t> primes = source.primes();
    const unsigned long low = 1ul << (bits - 2);
    std::map<unsigned long, int> counts;
    for (unsigned long x = low + 1; x < 2 * low; x += 2)
        if (admissible(x, primes)) counts[x] = 0;
    const int draws = 10 * static_cast<int>(counts.size());
    for (int i = 0; i < draws; ++i) {
        const mpz_class x = source.draw();
        ASSERT_TRUE(counts.contains(x.get_ui()) && x.fits_ulong_p()) << x.get_str();
        ++counts[x.get_ui()];
    }
    expect_uniform(counts, draws);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Candidates, ::testing::Values(8, 15, 17, 20));

// At a key's length: M is 2 times the odd primes to 47, every draw has the
// length and passes them, and x mod 5 7 11 is spread over the 3 5 9 classes
// those primes leave.
TEST(CandidatesAtKeyLengths, UseThePrimesToFortySeven) {
    for (unsigned bits : {1024u, 1536u}) {
        const CandidateSource source(bits);
        const std::vector<std::uint32_t> primes = source.primes();
        ASSERT_EQ(primes, small_primes(48));
        std::map<unsigned long, int> classes;
        constexpr int DRAWS = 2700;
        for (int i = 0; i < DRAWS; ++i) {
            const mpz_class x = source.draw();
            ASSERT_EQ(bit_length(x), bits - 1);
            ASSERT_TRUE(admissible(x, primes)) << x.get_str();
            ++classes[mpz_fdiv_ui(x.get_mpz_t(), 5 * 7 * 11)];
        }
        ASSERT_EQ(classes.size(), 3u * 5 * 9);
        expect_uniform(classes, DRAWS);
    }
}

using testing::available_engines;

std::string engine_name(const ::testing::TestParamInfo<EngineChoice>& info) {
    return testing::engine_name(info.param);
}

// (6k + 1)(12k + 1)(18k + 1) with all three factors prime, for the first k
// from `start`: a Carmichael number, which every base coprime to it fools.
mpz_class carmichael_from(mpz_class k) {
    for (;; ++k) {
        const mpz_class a = 6 * k + 1, b = 12 * k + 1, c = 18 * k + 1;
        if (mpz_probab_prime_p(a.get_mpz_t(), 30) && mpz_probab_prime_p(b.get_mpz_t(), 30) &&
            mpz_probab_prime_p(c.get_mpz_t(), 30))
            return a * b * c;
    }
}

mpz_class random_prime(gmp_randclass& rng, unsigned bits) {
    mpz_class p = rng.get_z_bits(bits) | (mpz_class(1) << (bits - 1));
    mpz_nextprime(p.get_mpz_t(), p.get_mpz_t());
    return p;
}

std::vector<mpz_class> make_pretest_moduli() {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(7);
    std::vector<mpz_class> m = {3,    5,    7,     9,     15,         341,
                                561,  1105, 1729,  2047,  2465,       2821,
                                6601, 8911, 41041, 62745, 4294967297, 18446744073709551557u};
    for (unsigned zeros : {6, 18, 24}) {
        // 10^zeros; not "1" + string, which GCC 12 wrongly warns of (-Wrestrict)
        std::string power(zeros + 1, '0');
        power[0] = '1';
        m.push_back(carmichael_from(mpz_class(power)));
    }
    for (unsigned bits : {64, 512, 1023, 1024, 1535, 1536, 2048}) {
        const mpz_class p = random_prime(rng, bits / 2), q = random_prime(rng, bits / 2);
        m.push_back(random_prime(rng, bits));
        m.push_back(p * q);
        m.push_back(random_prime(rng, bits) + 2 * (bits % 3 + 1));
    }
    return m;
}

const std::vector<mpz_class>& pretest_moduli() {
    static const std::vector<mpz_class> moduli = make_pretest_moduli();
    return moduli;
}

class Pretest : public ::testing::TestWithParam<EngineChoice> {};

// Primes, composites, base-2 pseudoprimes and Carmichael numbers, eight at a
// time in every rotation so that each meets neighbours of other lengths.
TEST_P(Pretest, AgreesWithGmpPower) {
    const std::vector<mpz_class>& all = pretest_moduli();
    for (std::size_t start = 0; start < all.size(); ++start) {
        PretestModuli group;
        std::size_t bits = 0;
        for (std::size_t i = 0; i < PRETEST_GROUP; ++i) {
            group[i] = all[(start + i) % all.size()];
            bits = std::max(bits, bit_length(group[i]));
        }
        const PretestResults passed = fermat_pretest(group, bits + start % 3, GetParam());
        for (std::size_t i = 0; i < PRETEST_GROUP; ++i) {
            mpz_class power;
            const mpz_class e = group[i] - 1, two = 2;
            mpz_powm(power.get_mpz_t(), two.get_mpz_t(), e.get_mpz_t(), group[i].get_mpz_t());
            EXPECT_EQ(passed[i], power == 1) << group[i].get_str();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Pretest, ::testing::ValuesIn(available_engines()), engine_name);

struct SearchCase {
    EngineChoice engine;
    unsigned bits;
    int count;
};

class Search : public ::testing::TestWithParam<SearchCase> {};

// What a key needs of each prime, on either engine, with the sieve's depth
// capped by the length at the smallest sizes.
TEST_P(Search, GivesSafeBlumPrimesOfTheLength) {
    const auto [engine, bits, count] = GetParam();
    for (int i = 0; i < count; ++i) {
        const mpz_class p = safe_prime(bits, engine), half = (p - 1) / 2;
        ASSERT_EQ(bit_length(p), bits);
        ASSERT_EQ(mpz_fdiv_ui(p.get_mpz_t(), 4), 3u);
        ASSERT_TRUE(probably_prime(p)) << p.get_str();
        ASSERT_TRUE(probably_prime(half)) << p.get_str();
    }
}

// Fewer searches the longer the primes, whose search costs more.
std::vector<SearchCase> search_cases() {
    std::vector<SearchCase> cases;
    for (EngineChoice engine : available_engines())
        for (unsigned bits : {8u, 9u, 12u, 17u, 18u, 19u, 33u, 64u, 65u, 130u, 256u, 521u})
            cases.push_back({engine, bits,
                             bits < 32    ? 30
                             : bits < 128 ? 20
                             : bits < 256 ? 10
                             : bits < 512 ? 5
                                          : 2});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EnginesAndLengths, Search, ::testing::ValuesIn(search_cases()),
                         [](const auto& info) {
                             return testing::engine_name(info.param.engine) + "_" +
                                    std::to_string(info.param.bits);
                         });

// Every safe prime of a length, found by testing each odd x.
std::vector<mpz_class> all_safe_primes(unsigned bits) {
    std::vector<mpz_class> out;
    for (unsigned long x = (1ul << (bits - 2)) + 1; x < (1ul << (bits - 1)); x += 2) {
        const mpz_class half = x, p = 2 * half + 1;
        if (probably_prime(half) && probably_prime(p)) out.push_back(p);
    }
    return out;
}

class Uniform : public ::testing::TestWithParam<EngineChoice> {};

// Each safe prime of 17 bits (where M is 30) as often as every other: a
// search that favoured some lanes' candidates, or primes after long gaps,
// would fail by far.
TEST_P(Uniform, EverySafePrimeOfTheLengthAlike) {
    constexpr unsigned BITS = 17;
    const std::vector<mpz_class> primes = all_safe_primes(BITS);
    std::map<std::string, int> counts;
    for (const mpz_class& p : primes) counts[p.get_str()] = 0;
    const int draws = 20 * static_cast<int>(primes.size());
    for (int i = 0; i < draws; ++i) ++counts[safe_prime(BITS, GetParam()).get_str()];
    ASSERT_EQ(counts.size(), primes.size());
    expect_uniform(counts, draws);
}

INSTANTIATE_TEST_SUITE_P(Engines, Uniform, ::testing::ValuesIn(available_engines()), engine_name);

// Says stop at its `calls`-th question.
class StopAfter final : public Checkpoint {
  public:
    explicit StopAfter(int calls) : left_(calls) {}
    bool stop_requested() override { return --left_ <= 0; }
    int left() const { return left_; }

  private:
    int left_;
};

class Interrupt : public ::testing::TestWithParam<EngineChoice> {};

// A checkpoint comes before every candidate drawn. No search ends before its
// second round of cheap tests, and the first alone draws a candidate for
// every lane, so a stop at any of the first PRETEST_GROUP checkpoints always
// finds it running. Later stops usually do too, but a lucky search may find
// its prime first (one did in 230 draws): then the stop was never reached.
TEST_P(Interrupt, StopsTheSearchAtACheckpoint) {
    for (int calls : {1, static_cast<int>(PRETEST_GROUP), 100, 500}) {
        StopAfter stop(calls);
        CheckpointScope scope(stop);
        const bool certain = calls <= static_cast<int>(PRETEST_GROUP);
        try {
            const mpz_class p = safe_prime(2048, GetParam());
            EXPECT_FALSE(certain);  // a search that ended before its first round
            EXPECT_GT(stop.left(), 0);
            EXPECT_TRUE(probably_prime(p));
        } catch (const Interrupted&) {
            EXPECT_EQ(stop.left(), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Interrupt, ::testing::ValuesIn(available_engines()), engine_name);

struct KeyCase {
    std::uint32_t bits;
    int count;
};

class KeyPairs : public ::testing::TestWithParam<KeyCase> {};

// Whole keys at real sizes: the properties of both primes and of the pair.
TEST_P(KeyPairs, HaveDistinctSafeBlumPrimesOfHalfTheLength) {
    const auto [bits, count] = GetParam();
    for (int i = 0; i < count; ++i) {
        Outcome<KeyPair> made = generate_keypair(bits);
        ASSERT_TRUE(made.ok()) << made.refusal();
        const SecretKeyRecord& sk = made.value().secret_key;
        for (const mpz_class* prime : {&sk.p, &sk.q}) {
            EXPECT_EQ(bit_length(*prime), bits / 2);
            EXPECT_EQ(mpz_fdiv_ui(prime->get_mpz_t(), 4), 3u);
            EXPECT_TRUE(probably_prime(*prime));
            EXPECT_TRUE(probably_prime((*prime - 1) / 2));
        }
        EXPECT_NE(sk.p, sk.q);
        EXPECT_EQ(mpz_class(gcd(sk.p - 1, sk.q - 1)), 2);
        EXPECT_GE(bit_length(sk.n), bits - 1);
        EXPECT_EQ(made.value().public_key.n, sk.n);
        EXPECT_EQ(made.value().public_key.exponent_bits(), bits / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, KeyPairs, ::testing::Values(KeyCase{2048, 2}, KeyCase{3072, 1}),
                         [](const auto& info) { return std::to_string(info.param.bits); });

}  // namespace
}  // namespace hecrypt
