#include <gtest/gtest.h>

#include "core/encoding/blob.hpp"
#include "core/engine/ifma/sums8.hpp"
#include "core/engine/portable/engines.hpp"
#include "core/ops/ops.hpp"
#include "core/ops/sum_rules.hpp"
#include "engines.hpp"
#include "key_fixtures.hpp"
#include "numbers.hpp"
#include "same_outcome.hpp"

namespace hecrypt {
namespace {

using testing::expect_same;
using testing::views;

// One public key on the 8-lane engine and on the portable one, the
// reference for the lanes, with the lanes' context for calling them below
// the size where the engine would choose them.
struct KeyPairOfEngines {
    PublicKeyRecord lanes, portable;
    IfmaContext context;
};

KeyPairOfEngines engines_of(const PublicKeyRecord& pk) {
    return {on_engine(pk, EngineChoice::ifma), on_engine(pk, EngineChoice::portable),
            IfmaContext(pk.n_squared)};
}

// The 4096-bit modulus need not factor into safe primes: sums only
// multiply modulo n^2.
const KeyPairOfEngines& keys(unsigned bits) {
    static const KeyPairOfEngines k2048 = engines_of(testing::known_keypair_2048().public_key);
    static const KeyPairOfEngines k3072 =
        engines_of(testing::public_key_of(testing::modulus_3072()));
    static const KeyPairOfEngines k4096 = [] {
        gmp_randclass rng(gmp_randinit_default);
        rng.seed(4096);
        return engines_of(testing::public_key_of(testing::random_odd(rng, 4096)));
    }();
    return bits == 2048 ? k2048 : bits == 3072 ? k3072 : k4096;
}

// Blobs of scale 8: random integers in [1, n^2), the two ends of the range,
// and one written with leading zero bytes.
std::vector<Bytes> random_blobs(const mpz_class& n_squared, std::size_t count, unsigned seed) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(seed);
    std::vector<Bytes> blobs;
    for (std::size_t i = 0; i < count; ++i)
        blobs.push_back(write_blob(8, mpz_class(rng.get_z_range(n_squared - 1)) + 1));
    blobs[1] = write_blob(8, 1);
    blobs[2] = write_blob(8, n_squared - 1);
    blobs[3].insert(blobs[3].begin() + 1, {0, 0, 0});
    return blobs;
}

// add_many on the lanes whatever the count: the same reads, as the
// operation makes them, into product8.
Outcome<Bytes> add_many_on_lanes(const KeyPairOfEngines& k, Blobs blobs) {
    SumTerms terms(k.lanes.n_squared, blobs);
    Outcome<mpz_class> sum = product8(k.context, k.lanes.n_squared, blobs.size(),
                                      [&](std::size_t i) { return terms.read(i); });
    if (!sum.ok()) return sum.take_refusal();
    return write_blob(terms.scale(), sum.value());
}

// The block products on the lanes and on the portable chains, of blobs that
// all parse.
void expect_same_block_products(const KeyPairOfEngines& k, const std::vector<Bytes>& blobs,
                                const std::vector<Block>& blocks) {
    std::vector<mpz_class> integers;
    for (const Bytes& blob : blobs) integers.push_back(parse_blob(blob).value().ciphertext);
    std::vector<const mpz_class*> terms;
    for (const mpz_class& x : integers) terms.push_back(&x);
    const mpz_class& m = k.lanes.n_squared;
    EXPECT_TRUE(block_products8(k.context, m, blocks, terms) ==
                chain_block_products(m, blocks, terms));
}

class Sums8 : public ::testing::TestWithParam<unsigned> {
  protected:
    void SetUp() override { HECRYPT_SKIP_WITHOUT_IFMA(); }
    const KeyPairOfEngines& k() const { return keys(GetParam()); }
    std::vector<Bytes> blobs(std::size_t count) const {
        return random_blobs(k().lanes.n_squared, count, GetParam());
    }
};

TEST_P(Sums8, AddManyMatchesThePortableLoop) {
    // Full and partial last groups of eight, and more terms than lanes by far.
    const std::vector<Bytes> all = blobs(1200);
    for (std::size_t count : {1, 2, 7, 8, 9, 31, 32, 33, 1200}) {
        const std::vector<ByteView> some(all.begin(), all.begin() + static_cast<long>(count));
        expect_same(add_many_on_lanes(k(), some), add_many(k().portable, some));
        expect_same(add_many(k().lanes, some), add_many(k().portable, some));
    }
}

TEST_P(Sums8, AddBlocksMatchesThePortableLoop) {
    const std::vector<Bytes> all = blobs(700);
    const std::vector<ByteView> v = views(all);
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(GetParam() + 1);
    // Blocks of every size around one and two groups of lanes and one
    // segment, in random order with repeats, one index over and over, and
    // at 2048 bits one block long enough to be cut into many segments.
    std::vector<std::size_t> lengths = {1, 7, 8, 9, 63, 65, 600, 1, 2};
    if (GetParam() == 2048) lengths.push_back(40000);
    std::vector<Block> blocks;
    for (std::size_t length : lengths) {
        Block block(length);
        for (std::uint64_t& i : block) i = mpz_class(rng.get_z_range(all.size())).get_ui();
        blocks.push_back(std::move(block));
    }
    blocks.push_back(Block(100, 5));
    expect_same(add_blocks(k().lanes, v, blocks), add_blocks(k().portable, v, blocks));
    expect_same_block_products(k(), all, blocks);
    // Each block alone: one block fills the lanes by itself.
    for (const Block& block : blocks) {
        const std::vector<Block> one = {block};
        expect_same(add_blocks(k().lanes, v, one), add_blocks(k().portable, v, one));
        expect_same_block_products(k(), all, one);
    }
}

TEST_P(Sums8, AddManyRefusesTheSameTermFirst) {
    const mpz_class& n2 = k().lanes.n_squared;
    struct Bad {
        std::size_t position;  // 0-based
        Bytes blob;
    };
    // In the first and later groups of eight, a lane's first and last, and
    // two bad terms where the lower one must win whatever its kind.
    const std::vector<std::vector<Bad>> cases = {
        {{0, write_blob(8, 0)}},
        {{7, {}}},
        {{8, write_blob(8, n2)}, {19, write_blob(2, 1)}},
        {{12, write_blob(3, 5)}, {13, {}}},
        {{20, {19}}, {17, write_blob(8, n2 + 1)}},
        {{38, write_blob(0, 1)}},
    };
    for (const auto& bad : cases) {
        std::vector<Bytes> all = blobs(40);
        for (const Bad& b : bad) all[b.position] = b.blob;
        const std::vector<ByteView> v = views(all);
        const Outcome<Bytes> portable = add_many(k().portable, v);
        ASSERT_FALSE(portable.ok());
        expect_same(add_many_on_lanes(k(), v), portable);
        expect_same(add_many(k().lanes, v), portable);
    }
}

TEST_P(Sums8, AddBlocksRefusesTheSameAsThePortableLoop) {
    std::vector<Bytes> all = blobs(80);
    all[60] = write_blob(3, 7);   // another scale
    all[61] = write_blob(12, 7);  // and a third
    all[70] = write_blob(8, 0);   // out of range
    all[71] = {};                 // empty
    all[79] = {200};              // malformed, and named by no block
    const std::vector<ByteView> v = views(all);
    auto range = [](std::uint64_t from, std::uint64_t to) {
        Block block;
        for (std::uint64_t i = from; i < to; ++i) block.push_back(i);
        return block;
    };
    const std::vector<std::vector<Block>> cases = {
        // mixed scales late in a late block, and again in a later block
        {range(0, 50), range(10, 20), range(0, 40), range(20, 61), range(55, 62)},
        // the lowest mixed block wins, not the lowest position
        {range(0, 9), {0, 1, 2, 60}, {61, 0}},
        // a bad blob is refused before any scale is compared; the lowest
        // named bad blob wins
        {{0, 60}, range(40, 50), {71, 3}, {70}},
        // no refusal: the malformed blob is named by nobody
        {range(0, 60), {5, 5, 5}, range(62, 70)},
    };
    for (const auto& blocks : cases)
        expect_same(add_blocks(k().lanes, v, blocks), add_blocks(k().portable, v, blocks));
}

INSTANTIATE_TEST_SUITE_P(Keys, Sums8, ::testing::Values(2048u, 3072u, 4096u), [](const auto& info) {
    return std::string("n").append(std::to_string(info.param));
});

}  // namespace
}  // namespace hecrypt
