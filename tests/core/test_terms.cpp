#include <gtest/gtest.h>

#include "core/ops/terms.hpp"
#include "key_fixtures.hpp"

namespace hecrypt {
namespace {

mpz_class powm(const mpz_class& base, const mpz_class& e, const mpz_class& m) {
    mpz_class r;
    mpz_powm(r.get_mpz_t(), base.get_mpz_t(), e.get_mpz_t(), m.get_mpz_t());
    return r;
}

// Both signs at both ends of the scalar range: the fixed-width exponent and
// the final product both depend on the sign, and 2^64 - 1 leaves no room.
TEST(ScalarPower, AgreesWithGmpOverTheScalarRange) {
    const PublicKeyRecord& pk = testing::known_keypair_2048().public_key;
    const mpz_class c = testing::textbook_encrypt(pk.n, 1234567, 5);
    const mpz_class top = (mpz_class(1) << 64) - 1, half = mpz_class(1) << 63;
    for (const mpz_class& k : {mpz_class(1), mpz_class(-1), mpz_class(2), mpz_class(-3), top,
                               mpz_class(-top), half, mpz_class(-half)}) {
        EXPECT_EQ(scalar_power(c, k, pk.n_squared), powm(c, k, pk.n_squared)) << "k=" << k;
    }
    EXPECT_EQ(scalar_power(1, -5, pk.n_squared), 1);
}

TEST(ScalarPower, NothingForACiphertextSharingAFactorWithN) {
    const KeyPair& pair = testing::known_keypair_2048();
    const mpz_class c = pair.secret_key.p * 12345;
    EXPECT_EQ(scalar_power(c, 3, pair.public_key.n_squared), std::nullopt);
}

}  // namespace
}  // namespace hecrypt
