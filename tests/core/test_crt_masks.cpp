// The key holder's encryption: the CRT recombinations on their own, the
// ciphertexts against the public formula for the same exponents and
// plaintexts on both engines, and the blobs and refusals against
// encrypt_many.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "core/encoding/fixed_point.hpp"
#include "core/engine/dispatch.hpp"
#include "core/keys/crt_ciphertexts.hpp"
#include "core/keys/crt_masks.hpp"
#include "core/keys/secret.hpp"
#include "core/ops/ops.hpp"
#include "core/support/ct.hpp"
#include "engines.hpp"
#include "key_fixtures.hpp"
#include "numbers.hpp"

namespace hecrypt {
namespace {

Limbs limbs_at(const mpz_class& x, std::size_t width) {
    Limbs out(width);
    write_limbs(x, out);
    return out;
}

mpz_class number(LimbView limbs) { return ct_from_limbs(limbs); }

// r and s of the given bit lengths, odd and coprime, and the CRT of values
// at both ends of their ranges.
struct CrtCase {
    unsigned r_bits, s_bits;
};

class CrtRecombination : public ::testing::TestWithParam<CrtCase> {};

TEST_P(CrtRecombination, MatchesBothResiduesBelowTheProduct) {
    std::mt19937_64 rng(GetParam().r_bits * 1000 + GetParam().s_bits);
    gmp_randclass gmp(gmp_randinit_default);
    gmp.seed(static_cast<unsigned long>(rng()));
    mpz_class r, s;
    do {
        r = testing::random_odd(gmp, GetParam().r_bits);
        s = testing::random_odd(gmp, GetParam().s_bits);
    } while (gcd(r, s) != 1);
    mpz_class r_inv_s;
    mpz_invert(r_inv_s.get_mpz_t(), r.get_mpz_t(), s.get_mpz_t());
    const std::size_t wr = mpz_size(r.get_mpz_t()), ws = mpz_size(s.get_mpz_t());
    for (const auto& [a, b] : {std::pair<mpz_class, mpz_class>{0, 0},
                               {r - 1, s - 1},
                               {r - 1, 0},
                               {0, s - 1},
                               {gmp.get_z_range(r), gmp.get_z_range(s)}}) {
        Limbs out(wr + ws);
        ct_crt(out, limbs_at(a, wr), limbs_at(b, ws), limbs_at(r, wr), limbs_at(s, ws),
               limbs_at(r_inv_s, ws));
        const mpz_class x = number(out);
        EXPECT_LT(x, r * s);
        EXPECT_EQ(mpz_class(x % r), a);
        EXPECT_EQ(mpz_class(x % s), b);
        // The Montgomery form of the same formula agrees.
        Limbs joined(wr + ws);
        MontScratch scratch(ws);
        Recombination(r, s, limbs_at(r_inv_s, ws))
            .join(joined, limbs_at(a, wr), limbs_at(b, ws), scratch);
        EXPECT_EQ(number(joined), x);
    }
}

// Equal widths with r > s (a must be reduced mod s first), r wider than s
// and narrower, and the half widths of 2048- and 3072-bit keys' squares.
INSTANTIATE_TEST_SUITE_P(Widths, CrtRecombination,
                         ::testing::Values(CrtCase{128, 127}, CrtCase{200, 130}, CrtCase{130, 200},
                                           CrtCase{2048, 2048}, CrtCase{3072, 3071}));

// Primes of different lengths: every width of the key holder's arithmetic
// differs between p and q, and n is wider than two of p.
const KeyPair& known_keypair_2560() {
    static const KeyPair pair = testing::value_of(assemble_keypair(
        testing::hex(testing::SAFE_PRIME_1024_1), testing::hex(testing::SAFE_PRIME_1536_1)));
    return pair;
}

struct Engine {
    unsigned key_bits;
    EngineChoice choice;
};

// hs^r for the exponent r of the given 6-bit digits, lowest first.
mpz_class mask_of(const PublicKeyRecord& pk, const Digits& digits) {
    mpz_class r = 0;
    for (auto d = digits.rbegin(); d != digits.rend(); ++d) r = (r << WINDOW_BITS) + *d;
    mpz_class out;
    mpz_powm(out.get_mpz_t(), pk.hs.get_mpz_t(), r.get_mpz_t(), pk.n_squared.get_mpz_t());
    return out;
}

class KeyHolderMasks : public ::testing::TestWithParam<Engine> {
  protected:
    const KeyPair& pair() const {
        switch (GetParam().key_bits) {
            case 2048:
                return testing::known_keypair_2048();
            case 2560:
                return known_keypair_2560();
            default:
                return testing::known_keypair_3072();
        }
    }
    bool lanes8() const { return GetParam().choice == EngineChoice::ifma; }
    // The key's secret part on the engine the test names, its tables built.
    void SetUp() override {
        if (lanes8()) HECRYPT_SKIP_WITHOUT_IFMA();
        secret_ =
            testing::secret_key_on(pair().secret_key.p, pair().secret_key.q, GetParam().choice);
        masks_.emplace(pair().public_key.hs);
        masks_->prepare(secret_);
    }
    SecretKeyRecord secret_;
    std::optional<CrtMasks> masks_;
};

// The plaintexts the factor 1 + m n is checked on: zero (the ciphertext is
// the mask itself), the smallest of either sign, both ends of the plaintext
// bound (the widest |m|, whose top limb reaches that of n), one of every
// limb count below it, and values at random.
std::vector<WipedInteger> factor_cases(const PublicKeyRecord& pk, std::size_t count) {
    const mpz_class bound = plaintext_bound(pk.n);
    std::vector<WipedInteger> out = {mpz_class(0), mpz_class(1), mpz_class(-1), bound,
                                     mpz_class(-bound)};
    for (std::size_t bits = 64; bits < bit_length(bound); bits += 64)
        out.emplace_back(mpz_class((mpz_class(1) << bits) - 1));
    gmp_randclass gmp(gmp_randinit_default);
    gmp.seed(11);
    while (out.size() < count) {
        mpz_class m = gmp.get_z_range(2 * bound + 1) - bound;
        out.emplace_back(std::move(m));
    }
    return out;
}

// The same digits and plaintexts give the public path's (1 + m n) hs^r mod
// n^2, whether the lanes are full or not, at the extremes of the digits and
// of the plaintexts and at random.
TEST_P(KeyHolderMasks, CiphertextsEqualThePublicFormula) {
    const KeyPair& keys = pair();
    const PublicKeyRecord& pk = keys.public_key;
    const CrtMasks& masks = *masks_;
    ASSERT_EQ(masks.lanes(), lanes8() ? 64u : 8u);
    const std::size_t windows = (pk.exponent_bits() + WINDOW_BITS - 1) / WINDOW_BITS;
    std::mt19937 rng(7);
    std::vector<Digits> exponents = {Digits(windows, 0), Digits(windows, 63), Digits{1},
                                     Digits(windows, 1)};
    const std::vector<WipedInteger> plaintexts = factor_cases(pk, 40);
    while (exponents.size() < plaintexts.size()) {
        Digits& d = exponents.emplace_back(windows);
        for (std::uint8_t& digit : d) digit = static_cast<std::uint8_t>(rng() % 64);
    }
    for (std::size_t begin = 0; begin < exponents.size(); begin += masks.lanes()) {
        const std::size_t end = std::min(exponents.size(), begin + masks.lanes());
        const auto group = std::span(exponents).subspan(begin, end - begin);
        const auto ms = std::span(plaintexts).subspan(begin, end - begin);
        const std::vector<WipedLimbs> got = masks.ciphertexts(group, ms);
        ASSERT_EQ(got.size(), group.size());
        for (std::size_t i = 0; i < group.size(); ++i) {
            mpz_class expected = (ms[i] * pk.n + 1) * mask_of(pk, group[i]);
            mpz_fdiv_r(expected.get_mpz_t(), expected.get_mpz_t(), pk.n_squared.get_mpz_t());
            EXPECT_EQ(number(got[i].view()), expected) << "item " << begin + i << ", m " << ms[i];
        }
    }
}

// Groups fill the lanes of a worker's share of the batch, up to the sets
// that share a pass over the tables; the portable engine takes one at a time.
TEST_P(KeyHolderMasks, GroupsShareTheBatchBetweenTheWorkers) {
    const CrtMasks& masks = *masks_;
    // items, workers, then the group on the 8-lane engine and on the portable one
    using Case = std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>;
    for (auto [items, workers, eight, portable] :
         {Case{1, 2, 8, 1}, Case{6, 2, 8, 3}, Case{16, 2, 8, 8}, Case{17, 2, 16, 8},
          Case{128, 2, 64, 8}, Case{100000, 2, 64, 8}, Case{100, 1, 64, 8}, Case{0, 4, 8, 1}})
        EXPECT_EQ(masks.group(items, workers), lanes8() ? eight : portable)
            << items << " items, " << workers << " workers";
}

INSTANTIATE_TEST_SUITE_P(
    KeysAndEngines, KeyHolderMasks,
    ::testing::Values(Engine{2048, EngineChoice::portable}, Engine{2048, EngineChoice::ifma},
                      Engine{2560, EngineChoice::portable}, Engine{2560, EngineChoice::ifma},
                      Engine{3072, EngineChoice::portable}, Engine{3072, EngineChoice::ifma}));

TEST(KeyHolderEncryption, CiphertextsDecryptToTheValuesAtTheirScale) {
    const KeyPair& keys = testing::known_keypair_2048();
    const double values[] = {0.0, 1.5, -1.5, -2.5, 1e-9, 123456.789, -1e12, 0.49, 7, 8, 9};
    for (unsigned scale : {0u, 8u, 18u - 6u}) {
        auto blobs = keyholder_encrypt_many(keys.secret_key, values, scale);
        ASSERT_TRUE(blobs.ok());
        ASSERT_EQ(blobs.value().size(), std::size(values));
        for (std::size_t i = 0; i < std::size(values); ++i) {
            EXPECT_EQ(blobs.value()[i][0], scale);
            auto plain = decrypt(keys.secret_key, blobs.value()[i]);
            ASSERT_TRUE(plain.ok());
            EXPECT_EQ(plain.value(),
                      std::round(values[i] * std::pow(10.0, scale)) / std::pow(10.0, scale))
                << values[i] << " at 1e" << scale;
        }
    }
}

// Every refusal of encrypt_many, with its text, at its position in a batch
// long enough to span several groups of lanes.
struct Refused {
    double value;
    unsigned scale;
};

class KeyHolderRefusals : public ::testing::TestWithParam<Refused> {};

TEST_P(KeyHolderRefusals, AreEncryptManysWordForWord) {
    const KeyPair& keys = testing::known_keypair_2048();
    std::vector<double> values(19, 1.25);
    values[11] = GetParam().value;
    values[15] = std::numeric_limits<double>::quiet_NaN();
    auto public_path = encrypt_many(keys.public_key, values, GetParam().scale);
    auto holder_path = keyholder_encrypt_many(keys.secret_key, values, GetParam().scale);
    ASSERT_FALSE(public_path.ok());
    ASSERT_FALSE(holder_path.ok());
    EXPECT_EQ(holder_path.refusal(), public_path.refusal());
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyHolderRefusals,
                         ::testing::Values(Refused{std::numeric_limits<double>::infinity(), 8},
                                           Refused{-std::numeric_limits<double>::infinity(), 8},
                                           Refused{std::numeric_limits<double>::quiet_NaN(), 0},
                                           Refused{1e300, 18},   // overflows once scaled
                                           Refused{1.25, 19}));  // scale refused before any value

TEST(KeyHolderEncryption, AnEmptyBatchBuildsNothing) {
    const KeyPair& keys = testing::known_keypair_2048();
    auto blobs = keyholder_encrypt_many(keys.secret_key, {}, 8);
    ASSERT_TRUE(blobs.ok());
    EXPECT_TRUE(blobs.value().empty());
}

TEST(KeyHolderEncryption, AKeyWithoutItsBaseIsAFaultNotACiphertext) {
    const SecretKeyRecord& known = testing::known_keypair_2048().secret_key;
    const SecretKeyRecord sk = testing::secret_key_on(known.p, known.q, EngineChoice::automatic);
    const double one[] = {1.0};
    EXPECT_THROW(keyholder_encrypt_many(sk, one, 8), InternalFault);
}

// A key moved to another engine builds the key holder's tables anew there,
// though they were built on the first: the masks then come from the new one.
TEST(KeyHolderEncryption, TablesFollowTheKeysEngine) {
    HECRYPT_SKIP_WITHOUT_IFMA();
    auto made = assemble_keypair(testing::hex(testing::SAFE_PRIME_1024_1),
                                 testing::hex(testing::SAFE_PRIME_1024_2));
    ASSERT_TRUE(made.ok());
    SecretKeyRecord sk = std::move(made.value().secret_key);
    const double values[] = {2.5, -3.25};
    for (EngineChoice choice : {EngineChoice::ifma, EngineChoice::portable}) {
        sk = on_engine(std::move(sk), choice);
        auto blobs = keyholder_encrypt_many(sk, values, 2);
        ASSERT_TRUE(blobs.ok());
        EXPECT_EQ(sk.crt_masks->lanes(), choice == EngineChoice::ifma ? 64u : 8u);
        for (std::size_t i = 0; i < std::size(values); ++i)
            EXPECT_EQ(decrypt(sk, blobs.value()[i]).value(), values[i]);
    }
}

}  // namespace
}  // namespace hecrypt
