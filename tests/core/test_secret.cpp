// Decryption runs on limb arrays whose widths come from the key. Every shape
// those widths can take decrypts the whole signed range exactly: a square
// that fills its top limb or leaves it short, and primes of different lengths
// in either order (so mp may or may not need reducing modulo q), on the
// 8-lane engine (four ciphertexts at a time, one or two on four lanes) and on
// the portable one.
#include <gtest/gtest.h>

#include <vector>

#include "core/keys/secret.hpp"
#include "engines.hpp"
#include "key_fixtures.hpp"

namespace hecrypt {
namespace {

struct Lengths {
    unsigned p_bits, q_bits;
};

void PrintTo(const Lengths& l, std::ostream* out) { *out << l.p_bits << "x" << l.q_bits; }

class DecryptWidths : public ::testing::TestWithParam<Lengths> {};

TEST_P(DecryptWidths, SignedRangeComesBackExactly) {
    const mpz_class p = testing::prime_of(GetParam().p_bits, "9e3779b97f4a7c15f39cc0605cedc834");
    const mpz_class q = testing::prime_of(GetParam().q_bits, "b7e151628aed2a6abf7158809cf4f3c7");
    const std::optional<SecretKeyRecord> sk = prepare_decryption(p, q);
    ASSERT_TRUE(sk.has_value());
    std::vector<SecretKeyRecord> keys;
    for (EngineChoice engine : testing::available_engines())
        keys.push_back(testing::secret_key_on(p, q, engine));
    const mpz_class third = sk->n / 3;
    // zero, both signs at the ends of the range, and plaintexts that vanish
    // modulo one prime
    const mpz_class plaintexts[] = {0, 1, -1, third, -third, sk->half_n, -sk->half_n, p, -q};
    std::vector<mpz_class> cs;
    unsigned long x = 3;
    for (const mpz_class& m : plaintexts) cs.push_back(testing::textbook_encrypt(sk->n, m, x++));
    std::vector<const mpz_class*> all;
    for (const mpz_class& c : cs) all.push_back(&c);
    const std::vector<mpz_class> wanted(std::begin(plaintexts), std::end(plaintexts));
    for (const SecretKeyRecord& key : keys) {
        const std::size_t lanes = key.engine->lanes();
        const std::vector<WipedInteger> got = decrypt_integers(key, all);
        EXPECT_EQ(std::vector<mpz_class>(got.begin(), got.end()), wanted) << lanes << " at once";
        for (std::size_t i = 0; i < cs.size(); ++i)
            EXPECT_EQ(decrypt_integer(key, cs[i]), wanted[i]) << "plaintext " << wanted[i];
    }
    // Groups that fill two, four and six of the eight lanes (two of them on
    // the four-lane path), each in its own call.
    for (std::size_t count : {2, 3}) {
        const std::vector<WipedInteger> got = decrypt_integers(*sk, std::span(all).last(count));
        EXPECT_TRUE(std::equal(got.begin(), got.end(), wanted.end() - count)) << count;
    }
}

INSTANTIATE_TEST_SUITE_P(Primes, DecryptWidths,
                         ::testing::Values(Lengths{1024, 1024}, Lengths{1050, 1050},
                                           Lengths{1000, 1100}, Lengths{1100, 1000},
                                           Lengths{1088, 1030}, Lengths{1536, 1536},
                                           Lengths{2048, 2048}),
                         [](const auto& info) {
                             return std::to_string(info.param.p_bits) + "x" +
                                    std::to_string(info.param.q_bits);
                         });

}  // namespace
}  // namespace hecrypt
