// Every operation on each engine in one process: the deterministic ones give
// the portable engine's bytes and refusals, the randomised ones decrypt to
// the same plaintexts on either engine. Batch sizes straddle the lanes'
// groups and the sizes from which the lanes take over the sums.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

#include "core/encoding/blob.hpp"
#include "core/engine/engine.hpp"
#include "core/ops/ops.hpp"
#include "engines.hpp"
#include "key_fixtures.hpp"
#include "same_outcome.hpp"

namespace hecrypt {
namespace {

using testing::expect_same;
using testing::value_of;
using testing::views;

KeyPair known_key_on(EngineChoice choice) {
    const KeyPair& known = testing::known_keypair_2048();
    return {on_engine(known.public_key, choice),
            testing::secret_key_on(known.secret_key.p, known.secret_key.q, choice)};
}

// Each made on first use: the 8-lane one only where the CPU runs it.
const KeyPair& key_on(EngineChoice choice) {
    if (choice == EngineChoice::ifma) {
        static const KeyPair ifma = known_key_on(choice);
        return ifma;
    }
    static const KeyPair portable = known_key_on(choice);
    return portable;
}

const KeyPair& portable_key() { return key_on(EngineChoice::portable); }

// Textbook ciphertexts of scale 0 of plaintexts spread over the signed range.
std::vector<Bytes> ciphertexts(std::size_t count) {
    const mpz_class& n = testing::known_keypair_2048().public_key.n;
    std::vector<Bytes> blobs;
    for (std::size_t i = 0; i < count; ++i) {
        const mpz_class m = n / 3 - mpz_class(n / 7) * static_cast<long>(i % 5) + i;
        blobs.push_back(write_blob(0, testing::textbook_encrypt(n, m, 3 + i)));
    }
    return blobs;
}

class Engines : public ::testing::TestWithParam<EngineChoice> {
  protected:
    void SetUp() override {
        if (GetParam() == EngineChoice::ifma) HECRYPT_SKIP_WITHOUT_IFMA();
    }
    const KeyPair& key() const { return key_on(GetParam()); }
};

TEST_P(Engines, EncryptionDecryptsOnBothEngines) {
    // Eleven values: a full group of eight lanes and a partial one, and
    // decryption groups of four with one left over.
    const std::vector<double> values = {0,  1.5,      -2.25, 1e10,  -1e-3,     123456.789,
                                        -7, 0.000001, 42,    -1e12, 3.14159265};
    const std::vector<Bytes> blobs = value_of(encrypt_many(key().public_key, values, 6));
    for (const KeyPair* other : {&portable_key(), &key()}) {
        for (std::size_t i = 0; i < values.size(); ++i)
            EXPECT_NEAR(value_of(decrypt(other->secret_key, blobs[i])), values[i], 1e-6) << i;
    }
}

TEST_P(Engines, DecryptManyGivesThePortableTexts) {
    for (std::size_t count : {1, 3, 4, 5, 9}) {
        const std::vector<Bytes> blobs = ciphertexts(count);
        expect_same(decrypt_many(key().secret_key, views(blobs)),
                    decrypt_many(portable_key().secret_key, views(blobs)));
    }
}

TEST_P(Engines, SumsGiveThePortableBytes) {
    const std::vector<Bytes> all = ciphertexts(60);
    for (std::size_t count : {1, 7, 8, 23, 24, 25, 60}) {
        const std::vector<ByteView> some(all.begin(), all.begin() + static_cast<long>(count));
        expect_same(add_many(key().public_key, some), add_many(portable_key().public_key, some));
    }
    const std::vector<ByteView> v = views(all);
    const std::vector<std::vector<Block>> cases = {
        {{0}},
        {{0, 1}, {2}, {3, 4, 5}},
        {Block(20, 7), {1, 2, 3, 4, 5, 6, 7, 8, 9}, {59, 0}, Block(40, 3)},
    };
    for (const auto& blocks : cases)
        expect_same(add_blocks(key().public_key, v, blocks),
                    add_blocks(portable_key().public_key, v, blocks));
}

TEST_P(Engines, ProductsGiveThePortableBytes) {
    const std::vector<Bytes> blobs = ciphertexts(19);
    std::vector<double> scalars;
    for (std::size_t i = 0; i < blobs.size(); ++i)
        scalars.push_back((i % 2 == 0 ? 1.0 : -1.0) * static_cast<double>(i * 9973 + 1));
    scalars[3] = 9007199254740991.0;  // 2^53 - 1, the largest public scalar
    const PublicKeyRecord& pk = key().public_key;
    const PublicKeyRecord& reference = portable_key().public_key;
    expect_same(multiply_many(pk, views(blobs), scalars, 0),
                multiply_many(reference, views(blobs), scalars, 0));
    expect_same(multiply_many_public(pk, views(blobs), scalars, 0),
                multiply_many_public(reference, views(blobs), scalars, 0));
}

// A ciphertext sharing a factor with n is refused at its own position, before
// a later pair's own refusal and after an earlier one's.
TEST_P(Engines, ProductsRefuseTheSamePair) {
    const mpz_class& p = testing::known_keypair_2048().secret_key.p;
    std::vector<Bytes> blobs = ciphertexts(20);
    blobs[10] = write_blob(0, p * 3);
    std::vector<double> scalars(blobs.size(), 5.0);
    for (std::size_t bad_scalar : {15u, 4u}) {
        std::vector<double> these = scalars;
        these[bad_scalar] = 0;  // encodes to zero
        for (auto* multiply : {&multiply_many, &multiply_many_public}) {
            const auto got = multiply(key().public_key, views(blobs), these, 0);
            expect_same(got, multiply(portable_key().public_key, views(blobs), these, 0));
            testing::expect_refused(got, bad_scalar == 15 ? "ciphertext #11" : "scalar #5");
        }
    }
}

TEST_P(Engines, RerandomizeKeepsThePlaintext) {
    const std::vector<Bytes> blobs = ciphertexts(9);
    const std::vector<Bytes> fresh = value_of(rerandomize(key().public_key, views(blobs)));
    EXPECT_NE(fresh, blobs);
    expect_same(decrypt_many(portable_key().secret_key, views(fresh)),
                decrypt_many(portable_key().secret_key, views(blobs)));
}

INSTANTIATE_TEST_SUITE_P(Both, Engines,
                         ::testing::Values(EngineChoice::portable, EngineChoice::ifma),
                         [](const auto& info) { return testing::engine_name(info.param); });

// Keys get the 8-lane engine wherever the CPU runs it, unless
// HECRYPT_PORTABLE=1 asks for the portable one.
TEST(Dispatch, KeysTakeTheLanesWhereTheyRun) {
    const char* portable = std::getenv("HECRYPT_PORTABLE");
    const bool lanes = ifma_available() && !(portable && std::string_view(portable) == "1");
    const KeyPair& known = testing::known_keypair_2048();
    EXPECT_EQ(known.public_key.engine->lanes(), lanes ? 8u : 1u);
    EXPECT_EQ(known.secret_key.engine->lanes(), lanes ? 4u : 1u);
}

}  // namespace
}  // namespace hecrypt
