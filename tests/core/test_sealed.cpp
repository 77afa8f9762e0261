#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/keys/primes.hpp"
#include "core/keys/sealed.hpp"
#include "core/keys/secret.hpp"
#include "core/ops/ops.hpp"
#include "core/runtime/interrupt.hpp"
#include "key_fixtures.hpp"

namespace hecrypt {
namespace {

using testing::hex;
using testing::known_keypair_2048;

const std::string PASSPHRASE = "correct horse battery staple";
const std::string NOT_SEALED = "not a sealed key: it does not start with the bytes hecrypt-seal";

ByteView view(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes seal_cheaply(const SecretKeyRecord& sk, const std::string& passphrase = PASSPHRASE) {
    return testing::value_of(seal(sk, view(passphrase), cheapest_kdf_cost()));
}

// The known 2048-bit key, sealed once for the tests that only read it.
const Bytes& known_sealed() {
    static const Bytes sealed = seal_cheaply(known_keypair_2048().secret_key);
    return sealed;
}

std::string refusal_of(ByteView sealed, const std::string& passphrase = PASSPHRASE) {
    auto opened = unseal(sealed, view(passphrase));
    return opened.ok() ? "opened" : opened.refusal();
}

// A record that seal() accepts, holding whatever primes a forger chose.
SecretKeyRecord forged(const mpz_class& p, const mpz_class& q, const mpz_class& n) {
    SecretKeyRecord sk;
    sk.p = p;
    sk.q = q;
    sk.n = n;
    return sk;
}

TEST(Sealed, ReopensTheSameKeyWhoseCiphertextsDecryptAlike) {
    const KeyPair& original = known_keypair_2048();
    auto reopened = unseal(known_sealed(), view(PASSPHRASE));
    ASSERT_TRUE(reopened.ok()) << reopened.refusal();
    const SecretKeyRecord& sk = reopened.value().secret_key;
    EXPECT_EQ(std::set<mpz_class>({sk.p, sk.q}),
              std::set<mpz_class>({original.secret_key.p, original.secret_key.q}));
    EXPECT_EQ(reopened.value().public_key.n, original.public_key.n);
    const mpz_class n = original.public_key.n;
    const mpz_class half = n / 2;
    for (const mpz_class& m : {mpz_class(0), mpz_class(-7), half, mpz_class(-half)}) {
        const mpz_class c = testing::textbook_encrypt(n, m, 12345);
        EXPECT_EQ(*decrypt_integer(sk, c), m);
    }
    // Encrypted under the reopened public key, opened by the original secret.
    const double values[] = {1.5, -2.25};
    const auto blobs = testing::value_of(encrypt_many(reopened.value().public_key, values, 8));
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_EQ(decrypt(original.secret_key, blobs[i]).value(), values[i]);
}

TEST(Sealed, LaysOutTheDocumentedFormat) {
    const Bytes& sealed = known_sealed();
    const Bytes modulus = known_keypair_2048().public_key.modulus_bytes();
    const std::size_t length = modulus.size();
    ASSERT_EQ(sealed.size(), 71 + 3 * length + 16);
    EXPECT_EQ(std::string(sealed.begin(), sealed.begin() + 12), "hecrypt-seal");
    EXPECT_EQ(sealed[12], 1);
    const KdfCost cheap = cheapest_kdf_cost();
    EXPECT_EQ(from_bytes_be(ByteView(sealed).subspan(13, 8)), cheap.opslimit);
    EXPECT_EQ(from_bytes_be(ByteView(sealed).subspan(21, 8)), cheap.memlimit);
    EXPECT_EQ(from_bytes_be(ByteView(sealed).subspan(69, 2)), length);
    EXPECT_EQ(Bytes(sealed.begin() + 71, sealed.begin() + 71 + length), modulus);
    EXPECT_EQ(sealed_modulus(sealed).value(), modulus);
}

// Sealed again, at the default cost this time: a salt and a nonce of its
// own, and it opens.
TEST(Sealed, EachSealDrawsItsOwnSaltAndNonceAndDefaultCostOpens) {
    const Bytes again = testing::value_of(seal(known_keypair_2048().secret_key, view(PASSPHRASE)));
    const Bytes& first = known_sealed();
    EXPECT_EQ(from_bytes_be(ByteView(again).subspan(21, 8)), default_kdf_cost().memlimit);
    EXPECT_NE(Bytes(first.begin() + 29, first.begin() + 45),
              Bytes(again.begin() + 29, again.begin() + 45));
    EXPECT_NE(Bytes(first.begin() + 45, first.begin() + 69),
              Bytes(again.begin() + 45, again.begin() + 69));
    EXPECT_EQ(refusal_of(again), "opened");
}

TEST(Sealed, EveryTruncationIsRefusedAsDamage) {
    const Bytes& sealed = known_sealed();
    for (std::size_t length = 0; length < sealed.size(); ++length) {
        const ByteView cut = ByteView(sealed).first(length);
        ASSERT_EQ(refusal_of(cut), unseal_failed_message()) << "length " << length;
        ASSERT_FALSE(sealed_modulus(cut).ok()) << "length " << length;
    }
    Bytes longer = sealed;
    longer.push_back(0);
    EXPECT_EQ(refusal_of(longer), unseal_failed_message());
}

// Flips in the magic or the version say what the bytes are not; every other
// flip, whether in the header, n, the sealed primes or the tag, is damage.
TEST(Sealed, EverySingleBitFlipIsRefused) {
    const Bytes& sealed = known_sealed();
    Bytes flipped = sealed;
    for (std::size_t bit = 0; bit < 8 * sealed.size(); ++bit) {
        const std::size_t at = bit / 8;
        flipped[at] ^= std::uint8_t(1u << (bit % 8));
        const std::string refusal = refusal_of(flipped);
        if (at < 12) {
            ASSERT_EQ(refusal, NOT_SEALED) << "bit " << bit;
        } else if (at == 12) {
            ASSERT_EQ(refusal, "sealed key of format version " + std::to_string(flipped[12]) +
                                   " cannot be read: this module reads version 1");
        } else {
            ASSERT_EQ(refusal, unseal_failed_message()) << "bit " << bit;
        }
        flipped[at] = sealed[at];
    }
}

// A wrong passphrase is refused like damage; what the bytes are is told
// before an empty passphrase is.
TEST(Sealed, PassphrasesAndForeignBytesMeetTheirRefusals) {
    const std::string sealed(known_sealed().begin(), known_sealed().end());
    const std::string cases[][3] = {
        {sealed, "correct horse battery stapler", unseal_failed_message()},
        {sealed, "x", unseal_failed_message()},
        {sealed, std::string(1, '\0'), unseal_failed_message()},
        {sealed, "", "passphrase must not be empty"},
        {"PK\3\4", "", NOT_SEALED},
        {"hecrypt-sea!", PASSPHRASE, NOT_SEALED},
        {"hecrypt-seal", PASSPHRASE, unseal_failed_message()},  // a truncation
    };
    for (const auto& [bytes, passphrase, refusal] : cases)
        EXPECT_EQ(refusal_of(view(bytes), passphrase), refusal) << passphrase;
    EXPECT_EQ(seal(known_keypair_2048().secret_key, {}).refusal(), "passphrase must not be empty");
}

TEST(Sealed, SwappedModulusFailsAuthentication) {
    Bytes swapped = known_sealed();
    const mpz_class other = known_keypair_2048().public_key.n + 2;  // odd, same length
    const Bytes raw = to_bytes_be(other);
    std::copy(raw.begin(), raw.end(), swapped.begin() + 71);
    EXPECT_EQ(sealed_modulus(swapped).value(), raw);  // readable, but not vouched for
    EXPECT_EQ(refusal_of(swapped), unseal_failed_message());
}

struct CostCase {
    KdfCost cost;
    bool accepted;
};

class Costs : public ::testing::TestWithParam<CostCase> {};

// A forged header must not buy unbounded memory or time; a refused cost is
// refused before any derivation, like every other damage.
TEST_P(Costs, AcceptedRange) {
    const CostCase& c = GetParam();
    EXPECT_EQ(accepted_kdf_cost(c.cost), c.accepted);
    if (c.accepted) return;
    Bytes edited = known_sealed();
    for (std::size_t i = 0; i < 8; ++i) {
        edited[13 + i] = std::uint8_t(c.cost.opslimit >> (56 - 8 * i));
        edited[21 + i] = std::uint8_t(c.cost.memlimit >> (56 - 8 * i));
    }
    EXPECT_EQ(refusal_of(edited), unseal_failed_message());
    EXPECT_FALSE(sealed_modulus(edited).ok());
}

constexpr std::uint64_t GIB = std::uint64_t{1} << 30;
INSTANTIATE_TEST_SUITE_P(Sealed, Costs,
                         ::testing::Values(CostCase{{1, 8192}, true}, CostCase{{4, GIB}, true},
                                           CostCase{{3, 256 << 20}, true},
                                           CostCase{{0, 8192}, false}, CostCase{{5, 8192}, false},
                                           CostCase{{1, 8191}, false},
                                           CostCase{{1, GIB + 1}, false},
                                           CostCase{{~0ull, ~0ull}, false}));

TEST(Sealed, OtherVersionsAndMagicsAreNamed) {
    Bytes other = known_sealed();
    for (std::uint8_t version : {0, 2, 255}) {
        other[12] = version;
        EXPECT_EQ(refusal_of(other), "sealed key of format version " + std::to_string(version) +
                                         " cannot be read: this module reads version 1");
        EXPECT_EQ(sealed_modulus(other).refusal(), refusal_of(other));
    }
}

// Sealed properly under the passphrase, so only the key's own checks can
// refuse them: an authentic file must not yield a weak key either.
struct ForgedCase {
    const char* name;
    mpz_class p, q, n;
    std::string refusal;
};

class Forged : public ::testing::TestWithParam<int> {};

std::vector<ForgedCase> make_forged_cases() {
    const mpz_class p = hex(testing::SAFE_PRIME_1024_1), q = hex(testing::SAFE_PRIME_1024_2);
    // x prime with 2x + 1 composite: a Blum number whose half is prime.
    mpz_class x = p / 2 + 1000, composite;
    do {
        mpz_nextprime(x.get_mpz_t(), x.get_mpz_t());
        composite = 2 * x + 1;
    } while (probably_prime(composite));
    mpz_class unsafe = p + 1000;  // prime, with a composite half
    do mpz_nextprime(unsafe.get_mpz_t(), unsafe.get_mpz_t());
    while (probably_prime(unsafe / 2));
    mpz_class small = 3, cofactor = (mpz_class(1) << 2046) + 1;
    mpz_nextprime(cofactor.get_mpz_t(), cofactor.get_mpz_t());
    return {
        {"not_the_factors", p, q + 2, p * q, unseal_failed_message()},
        {"composite_with_prime_half", composite, q, composite * q,
         "sealed key holds a composite number where a prime belongs: it was not sealed from a "
         "key of generate_keypair"},
        {"equal_primes", p, p, p * p, message(KeyCheckError::ExtraCyclicComponent)},
        {"small_factor", small, cofactor, small * cofactor,
         message(KeyCheckError::ModulusTooShort)},
        {"prime_but_not_safe", unsafe, q, unsafe * q, message(KeyCheckError::PrimesNotSafe)},
    };
}

// Built once: the searches for the composite and the cofactor take a while.
const std::vector<ForgedCase>& forged_cases() {
    static const std::vector<ForgedCase> cases = make_forged_cases();
    return cases;
}

TEST_P(Forged, KeyChecksStillApply) {
    const ForgedCase& c = forged_cases()[GetParam()];
    const Bytes sealed = seal_cheaply(forged(c.p, c.q, c.n));
    EXPECT_EQ(refusal_of(sealed), c.refusal) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Sealed, Forged, ::testing::Range(0, 5));

struct AlwaysStop final : Checkpoint {
    bool stop_requested() override { return true; }
};

TEST(Sealed, StopsBetweenSteps) {
    AlwaysStop stop;
    const CheckpointScope scope(stop);
    EXPECT_THROW((void)unseal(known_sealed(), view(PASSPHRASE)), Interrupted);
    EXPECT_THROW((void)seal(known_keypair_2048().secret_key, view(PASSPHRASE), cheapest_kdf_cost()),
                 Interrupted);
}

}  // namespace
}  // namespace hecrypt
