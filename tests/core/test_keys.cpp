#include <gtest/gtest.h>

#include "core/engine/engine.hpp"
#include "core/keys/primes.hpp"
#include "core/keys/secret.hpp"
#include "core/runtime/pow_vartime.hpp"
#include "core/runtime/rng.hpp"
#include "key_fixtures.hpp"
#include "numbers.hpp"

namespace hecrypt {
namespace {

using testing::hex;
using testing::known_keypair_2048;

// hs^e for the exponent of `digits`, by the key's engine.
mpz_class mask_of(const PublicKeyRecord& pk, Digits digits) {
    return std::move(pk.engine->masks(std::span(&digits, 1)).front());
}

struct LengthCase {
    unsigned bits;
    const char* refusal;  // nullptr when accepted
};

class ValidatePublic : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ValidatePublic, LengthLimits) {
    Status status = validate_public(testing::power_of_two(GetParam().bits - 1) + 1);
    if (GetParam().refusal == nullptr) {
        EXPECT_TRUE(status.ok());
    } else {
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.refusal(), GetParam().refusal);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ValidatePublic,
    ::testing::Values(LengthCase{2046, message(KeyCheckError::ModulusTooShort)},
                      LengthCase{2047, nullptr}, LengthCase{8192, nullptr},
                      LengthCase{8193, message(KeyCheckError::ModulusTooLong)}));

TEST(Keys, LFunctionDividesExactlyOrGivesNothing) {
    EXPECT_EQ(*l_function(22, 7), 3);
    EXPECT_FALSE(l_function(23, 7).has_value());
    EXPECT_THROW(l_function(5, 0), InternalFault);
}

TEST(Keys, PrepareDecryptionRefusesEqualPrimes) {
    mpz_class p = hex(testing::SAFE_PRIME_1024_1);
    EXPECT_FALSE(prepare_decryption(p, p).has_value());
}

TEST(Keys, KnownKeyHasConsistentRecords) {
    const KeyPair& keys = known_keypair_2048();
    const PublicKeyRecord& pk = keys.public_key;
    EXPECT_EQ(pk.n, keys.secret_key.n);
    EXPECT_EQ(pk.n_squared, pk.n * pk.n);
    EXPECT_EQ(pk.exponent_bits(), 1024u);
    EXPECT_EQ(mask_of(pk, {1}), pk.hs);
    EXPECT_EQ(mask_of(pk, Digits(171, 63)),
              pow_mod_vartime(pk.hs, (mpz_class(1) << 1026) - 1, pk.n_squared));
    EXPECT_EQ(from_bytes_be(pk.modulus_bytes()), pk.n);
    EXPECT_EQ(keys.secret_key.half_n, pk.n / 2);
}

TEST(Keys, DecryptsTextbookCiphertextsIncludingSignedEdges) {
    const KeyPair& keys = known_keypair_2048();
    const mpz_class& n = keys.public_key.n;
    const mpz_class half = (n - 1) / 2;
    const mpz_class plaintexts[] = {0, 1, -1, 123456789, -987654321, half, -half};
    mpz_class x = 7;
    for (const mpz_class& m : plaintexts) {
        auto got = decrypt_integer(keys.secret_key, testing::textbook_encrypt(n, m, x));
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, m);
        x = x * x + 3;
    }
}

TEST(Keys, DecryptRefusesNonCiphertexts) {
    const KeyPair& keys = known_keypair_2048();
    const SecretKeyRecord& sk = keys.secret_key;
    for (const mpz_class& c : {mpz_class(0), mpz_class(sk.n), mpz_class(sk.p * 5),
                               mpz_class(sk.n_squared), mpz_class(sk.n_squared + 1)})
        EXPECT_FALSE(decrypt_integer(sk, c).has_value());
    EXPECT_EQ(*decrypt_integer(sk, 1), 0);
}

TEST(Keys, DerivedHsIsANonResiduePowerOfFullOrder) {
    const KeyPair& keys = known_keypair_2048();
    const mpz_class& n = keys.public_key.n;
    const mpz_class hs = testing::value_of(derive_hs(n, std::nullopt));
    EXPECT_GT(hs, 1);
    EXPECT_LT(hs, keys.public_key.n_squared - 1);
    // hs is an n-th power, so it decrypts to zero: a valid encryption of 0.
    EXPECT_EQ(*decrypt_integer(keys.secret_key, hs), 0);
}

TEST(Keys, CheckedPrimeFaultsAreReportedInOrder) {
    mpz_class p = hex(testing::SAFE_PRIME_1024_1), q = hex(testing::SAFE_PRIME_1024_2);
    struct Case {
        mpz_class p, q;
        KeyCheckError expected;
    };
    const Case cases[] = {
        {mpz_class(1) << 1000, q, KeyCheckError::ModulusTooShort},
        {p + 4, q, KeyCheckError::PrimesNotSafe},
        {p, p, KeyCheckError::ExtraCyclicComponent},
    };
    for (const Case& c : cases) {
        auto made = assemble_keypair(c.p, c.q);
        ASSERT_FALSE(made.ok());
        EXPECT_EQ(made.refusal(), message(c.expected));
    }
}

TEST(Keys, FromNAcceptsLeadingZerosAndEncryptsForTheSecretKey) {
    const KeyPair& keys = known_keypair_2048();
    Bytes raw(768, 0);
    Bytes modulus = keys.public_key.modulus_bytes();
    raw.insert(raw.end(), modulus.begin(), modulus.end());
    auto peer = public_key_from_n(raw);
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(peer.value().modulus_bytes(), modulus);
    EXPECT_EQ(peer.value().exponent_bits(), 1024u);
    // The peer's hs differs, but every power of it still decrypts to zero.
    Digits digits = exponent_digits(random_bytes(128));
    mpz_class zero = mask_of(peer.value(), digits);
    EXPECT_EQ(*decrypt_integer(keys.secret_key, zero), 0);
}

// What the search finds from 8 bits up is checked with the search itself.
TEST(Primes, NoSafePrimeSearchBelowEightBits) { EXPECT_THROW(safe_prime(7), InternalFault); }

class LongPower : public ::testing::TestWithParam<std::size_t> {};

// Long exponents go in chunks; the result is that of one power, chunk edges
// (a whole number of chunks, one bit more) included.
TEST_P(LongPower, EqualsOnePower) {
    const mpz_class m = from_bytes_be(random_bytes(64)) | 1;
    const mpz_class base = from_bytes_be(random_bytes(64)) % m;
    mpz_class e = from_bytes_be(random_bytes((GetParam() + 7) / 8));
    mpz_setbit(e.get_mpz_t(), GetParam() - 1);
    mpz_fdiv_r_2exp(e.get_mpz_t(), e.get_mpz_t(), GetParam());
    mpz_class expected;
    mpz_powm(expected.get_mpz_t(), base.get_mpz_t(), e.get_mpz_t(), m.get_mpz_t());
    EXPECT_EQ(pow_mod_vartime(base, e, m), expected);
}

INSTANTIATE_TEST_SUITE_P(Bits, LongPower, ::testing::Values(1, 4096, 4097, 5120, 8192));

}  // namespace
}  // namespace hecrypt
