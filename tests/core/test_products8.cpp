// The products' 8-lane powers against the portable ones, pair by pair, over
// the scalar range's edges and across a partial group of lanes.
#include <gtest/gtest.h>

#include "core/engine/ifma/powers8.hpp"
#include "core/engine/portable/engines.hpp"
#include "core/runtime/pow_vartime.hpp"
#include "engines.hpp"
#include "key_fixtures.hpp"

namespace hecrypt {
namespace {

PublicKeyRecord key_of(unsigned bits) {
    if (bits == 2048) return testing::known_keypair_2048().public_key;
    // At 4096 bits any odd n will do: the powers only work modulo n^2.
    return testing::public_key_of(bits == 3072 ? testing::modulus_3072()
                                               : mpz_class((mpz_class(1) << 4095) + 4771));
}

struct ScalarPair {
    mpz_class c, k;
};

std::vector<PowerRequest> requests_of(const std::vector<ScalarPair>& pairs) {
    std::vector<PowerRequest> requests;
    for (const ScalarPair& pair : pairs) requests.push_back({&pair.c, &pair.k});
    return requests;
}

// 19 pairs: both signs of 1 and of 2^bits - 1, 2^53 - 1, then random
// scalars of `bits` bits, each on a random ciphertext coprime with n.
std::vector<ScalarPair> pairs_of(const PublicKeyRecord& pk, unsigned bits) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(bits);
    const mpz_class top = (mpz_class(1) << bits) - 1;
    std::vector<mpz_class> ks = {1, -1, top, -top, (mpz_class(1) << 53) - 1};
    while (ks.size() < 19)
        ks.push_back(mpz_class(rng.get_z_bits(bits)) * (ks.size() % 2 ? -1 : 1) + 1);
    std::vector<ScalarPair> pairs;
    for (std::size_t i = 0; i < ks.size(); ++i) {
        mpz_class c;
        do c = mpz_class(rng.get_z_range(pk.n_squared - 2)) + 2;
        while (gcd(c, pk.n) != 1);
        pairs.push_back({c, ks[i]});
    }
    return pairs;
}

class Products8 : public ::testing::TestWithParam<unsigned> {};

TEST_P(Products8, LanesGiveThePortablePowers) {
    HECRYPT_SKIP_WITHOUT_IFMA();
    const PublicKeyRecord pk = key_of(GetParam());
    const IfmaContext ctx(pk.n_squared);
    const std::vector<ScalarPair> secret = pairs_of(pk, SCALAR_BITS), open = pairs_of(pk, 53);
    ASSERT_EQ(first_not_coprime(requests_of(secret), pk.n), std::nullopt);
    const std::vector<mpz_class> secret_lanes =
        secret_powers8(ctx, pk.n_squared, requests_of(secret));
    const std::vector<mpz_class> open_lanes = public_powers8(ctx, pk.n_squared, requests_of(open));
    for (std::size_t i = 0; i < secret.size(); ++i) {
        EXPECT_EQ(secret_lanes[i], scalar_power(secret[i].c, secret[i].k, pk.n_squared)) << i;
        EXPECT_EQ(open_lanes[i], pow_mod_vartime(open[i].c, open[i].k, pk.n_squared)) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, Products8, ::testing::Values(2048, 3072, 4096));

TEST(FirstNotCoprime, NamesTheFirstSharingAFactor) {
    const PublicKeyRecord& pk = testing::known_keypair_2048().public_key;
    const mpz_class p = testing::hex(testing::SAFE_PRIME_1024_1);
    std::vector<ScalarPair> pairs;
    for (std::size_t i = 0; i < 9; ++i) pairs.push_back({mpz_class(i + 2), 1});
    EXPECT_EQ(first_not_coprime(requests_of(pairs), pk.n), std::nullopt);
    pairs[6].c = p * 3;
    pairs[4].c = p;
    EXPECT_EQ(first_not_coprime(requests_of(pairs), pk.n), 4u);
}

}  // namespace
}  // namespace hecrypt
