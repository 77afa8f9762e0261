#include <gtest/gtest.h>

#include <algorithm>

#include "core/engine/portable/engines.hpp"
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

namespace hecrypt {
namespace {

struct GroupCase {
    std::size_t len, group;
    std::vector<std::size_t> refused;  // items whose checks fail
};

class CheckedGroups : public ::testing::TestWithParam<GroupCase> {};

// Groups see their own items in order, whole except the last, and the
// refusal named is the lowest refused item's, in the first group, at a
// group's edge or with a lower one in a later group.
TEST_P(CheckedGroups, RunWholeGroupsAndNameTheLowestRefusal) {
    const auto& [len, group, refused] = GetParam();
    auto results = checked_in_groups<std::size_t, std::size_t>(
        len, group,
        [&](std::size_t i) -> Outcome<std::size_t> {
            if (std::ranges::find(refused, i) != refused.end())
                return refuse("item " + std::to_string(i));
            return i;
        },
        [&](std::vector<std::size_t>& items) {
            EXPECT_TRUE(items.size() == group || items.back() == len - 1);
            for (std::size_t j = 1; j < items.size(); ++j) EXPECT_EQ(items[j], items[j - 1] + 1);
            std::vector<std::size_t> out;
            for (std::size_t i : items) out.push_back(10 * i);
            return out;
        });
    if (refused.empty()) {
        ASSERT_TRUE(results.ok());
        ASSERT_EQ(results.value().size(), len);
        for (std::size_t i = 0; i < len; ++i) EXPECT_EQ(results.value()[i], 10 * i);
    } else {
        ASSERT_FALSE(results.ok());
        EXPECT_EQ(results.refusal(), "item " + std::to_string(std::ranges::min(refused)));
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CheckedGroups,
                         ::testing::Values(GroupCase{0, 8, {}}, GroupCase{1, 8, {}},
                                           GroupCase{19, 8, {}}, GroupCase{16, 4, {}},
                                           GroupCase{19, 8, {0}}, GroupCase{19, 8, {7, 5}},
                                           GroupCase{19, 8, {18, 9}},
                                           GroupCase{19, 4, {17, 3, 12}}));

}  // namespace
}  // namespace hecrypt
