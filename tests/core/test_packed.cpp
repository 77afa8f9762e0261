// Packed slots on both engines at 2048, 3072 and 4096 bits: the layout on
// the wire, balanced digits against a model written with plain integer
// arithmetic, layouts at the capacity edges, and the refusal reported when
// several blobs of a batch fail at lane and chunk edges.
#include <gtest/gtest.h>

#include "core/encoding/blob.hpp"
#include "core/encoding/packed.hpp"
#include "core/engine/dispatch.hpp"
#include "core/ops/packed.hpp"
#include "key_fixtures.hpp"
#include "same_outcome.hpp"

namespace hecrypt {
namespace {

using testing::expect_refused;
using testing::value_of;
using testing::views;

// Each key twice: on the engine keys get (8-lane where the CPU has it) and
// on the portable one.
struct Engines {
    PublicKeyRecord pk, pk_portable;
    SecretKeyRecord sk, sk_portable;
};

Engines engines_of(const mpz_class& p, const mpz_class& q) {
    const PublicKeyRecord pk = testing::public_key_of(p * q);
    return {pk, on_engine(pk, EngineChoice::portable),
            testing::secret_key_on(p, q, EngineChoice::automatic),
            testing::secret_key_on(p, q, EngineChoice::portable)};
}

// Decryption needs no safe primes, so the 4096-bit key's come quickly.
const Engines& keys(unsigned bits) {
    using testing::hex;
    static const Engines k2048 =
        engines_of(hex(testing::SAFE_PRIME_1024_1), hex(testing::SAFE_PRIME_1024_2));
    static const Engines k3072 =
        engines_of(hex(testing::SAFE_PRIME_1536_1), hex(testing::SAFE_PRIME_1536_2));
    static const Engines k4096 =
        engines_of(testing::prime_of(2048, "9e3779b97f4a7c15f39cc0605cedc834"),
                   testing::prime_of(2048, "b7e151628aed2a6abf7158809cf4f3c7"));
    return bits == 2048 ? k2048 : bits == 3072 ? k3072 : k4096;
}

// The model: M = sum of d_j 2^(w j), by multiplication rather than shifts.
mpz_class model_pack(const std::vector<mpz_class>& digits, unsigned w) {
    mpz_class m = 0, weight = 1, base = 1;
    mpz_mul_2exp(base.get_mpz_t(), base.get_mpz_t(), w);
    for (const mpz_class& d : digits) {
        m += d * weight;
        weight *= base;
    }
    return m;
}

// ---- The wire

struct Malformed {
    Bytes blob;
    const char* message;
};

class PackedParse : public ::testing::TestWithParam<Malformed> {};

TEST_P(PackedParse, RefusesWithItsMessage) {
    const Outcome<PackedBlob> parsed = parse_packed(GetParam().blob);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.refusal(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, PackedParse,
    ::testing::Values(
        Malformed{{}, "ciphertext is empty: it must start with a scale exponent byte"},
        Malformed{{PACKED_MARKER, 8, 0, 2, 0},
                  "packed ciphertext is cut short: its header takes 6 bytes, and only 5 are there"},
        Malformed{{PACKED_MARKER, 19, 0, 2, 0, 64, 1},
                  "scale exponent 19 is above the 18 this encoding allows: past that even a "
                  "value of one has no exact f64 representation once scaled"},
        Malformed{{PACKED_MARKER, 8, 0, 0, 0, 64, 1}, "packed ciphertext declares no slots"},
        Malformed{{PACKED_MARKER, 8, 0, 2, 0, 21, 1},
                  "packed ciphertext declares slots of 21 bits, fewer than the 22 a slot needs"}));

TEST(PackedBlobs, PlainReadersTakeTheMarkerForAnOutOfRangeScale) {
    const Bytes blob = write_packed(Layout{8, 3, 64}, mpz_class(12345));
    EXPECT_EQ(blob[0], PACKED_MARKER);
    const Outcome<ParsedBlob> plain = parse_blob(blob);
    ASSERT_FALSE(plain.ok());
    EXPECT_EQ(plain.refusal(),
              "scale exponent 181 is above the 18 this encoding allows: past "
              "that even a value of one has no exact f64 representation once "
              "scaled");
}

TEST(PackedBlobs, WriteAndParseRoundTrip) {
    for (const Layout layout : {Layout{0, 1, 0}, Layout{8, 1, 22}, Layout{18, 65535, 65535}}) {
        for (const mpz_class& c : {mpz_class(0), mpz_class(1), mpz_class("123456789abcdef", 16)}) {
            const PackedBlob parsed = value_of(parse_packed(write_packed(layout, c)));
            EXPECT_TRUE(parsed.layout == layout);
            EXPECT_EQ(parsed.ciphertext, c);
        }
    }
}

// ---- Balanced digits

class BalancedDigits : public ::testing::TestWithParam<unsigned> {};

TEST_P(BalancedDigits, EveryLayoutUpToCapacityDecodesItsWholeRange) {
    const Engines& k = keys(GetParam());
    const unsigned capacity = packed_capacity_bits(k.pk.n);
    EXPECT_EQ(capacity, bit_length(k.pk.n) - 1);
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(GetParam());
    for (const unsigned w : {22u, 64u, 65u, 200u, capacity / 2, capacity}) {
        const unsigned slots = capacity / w;
        const mpz_class half = mpz_class(1) << (w - 1);
        // random digits, then the two extremes of a sum's range in every slot
        std::vector<std::vector<mpz_class>> cases(3);
        for (unsigned j = 0; j < slots; ++j) {
            cases[0].push_back(mpz_class(rng.get_z_bits(w)) - half);
            cases[1].push_back(half - 1);
            cases[2].push_back(-half);
        }
        for (const auto& digits : cases) {
            const auto got = balanced_slots(model_pack(digits, w), k.pk.n, slots, w);
            ASSERT_TRUE(got.has_value()) << w;
            EXPECT_EQ(std::vector<mpz_class>(got->begin(), got->end()), digits) << w;
        }
        // one past either end carries out of the top slot
        const mpz_class above = model_pack(cases[1], w) + 1, below = model_pack(cases[2], w) - 1;
        EXPECT_FALSE(balanced_slots(above, k.pk.n, slots, w).has_value()) << w;
        EXPECT_FALSE(balanced_slots(below, k.pk.n, slots, w).has_value()) << w;
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, BalancedDigits, ::testing::Values(2048u, 3072u, 4096u));

// ---- The operations on both engines

class PackedEngines : public ::testing::TestWithParam<unsigned> {
  protected:
    const Engines& k() const { return keys(GetParam()); }
    unsigned capacity() const { return packed_capacity_bits(k().pk.n); }
};

// Rows at the capacity edge of 64-bit slots, with the largest magnitudes a
// slot takes at scale 0 and both signs.
std::vector<double> edge_rows(std::size_t rows, std::size_t width) {
    const double largest = 8796093022207.0;  // 2^43 - 1
    std::vector<double> values;
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < width; ++c)
            values.push_back((r + c) % 3 == 0 ? largest : (r + c) % 3 == 1 ? -largest : -1.0 * c);
    return values;
}

TEST_P(PackedEngines, RowsAtCapacityComeBackOnBothEngines) {
    const std::size_t width = capacity() / 64, rows = 9;
    const std::vector<double> values = edge_rows(rows, width);
    const auto blobs = value_of(packed::encrypt(k().pk, {values, rows, width}, 0, 64));
    for (const SecretKeyRecord* sk : {&k().sk, &k().sk_portable})
        EXPECT_EQ(value_of(packed::decrypt(*sk, views(blobs))), values);
    auto wider = packed::encrypt(k().pk, {values, 1, width + 1}, 0, 64);
    ASSERT_FALSE(wider.ok());
    EXPECT_NE(wider.refusal().find("at most " + std::to_string(width) + " values per row"),
              std::string::npos)
        << wider.refusal();
}

TEST_P(PackedEngines, CombineIsTheSameBytesOnBothEngines) {
    // Inputs of 2 slots of 64 bits; outputs full, and a short last one.
    const std::size_t per = capacity() / 128;
    for (const std::size_t count : {std::size_t{1}, per, per + 1, 8 * per + 3}) {
        const std::vector<double> values = edge_rows(count, 2);
        const auto blobs = value_of(packed::encrypt(k().pk, {values, count, 2}, 0, 64));
        const auto lanes = value_of(packed::combine(k().pk, views(blobs)));
        EXPECT_EQ(lanes, value_of(packed::combine(k().pk_portable, views(blobs))));
        EXPECT_EQ(lanes.size(), (count + per - 1) / per);
        EXPECT_EQ(value_of(packed::decrypt(k().sk, views(lanes))), values) << count;
    }
}

TEST_P(PackedEngines, SumsAndDifferencesAreTheSameBytesOnBothEngines) {
    const std::size_t rows = 40;
    const std::vector<double> values = edge_rows(rows, 3);
    const auto blobs = value_of(packed::encrypt(k().pk, {values, rows, 3}, 2, 80));
    const auto v = views(blobs);
    const std::vector<Block> blocks{{0, 1, 2, 3, 4, 5, 6, 7, 8}, {3}, {39, 0, 39}};
    const auto sums = value_of(packed::add_blocks(k().pk, v, blocks));
    EXPECT_EQ(sums, value_of(packed::add_blocks(k().pk_portable, v, blocks)));
    const Bytes all = value_of(packed::add_many(k().pk, v));
    EXPECT_EQ(all, value_of(packed::add_many(k().pk_portable, v)));
    // the whole sum minus the first block's is the sum of the rest
    const std::vector<ByteView> whole{all}, first{sums[0]};
    const auto rest = value_of(packed::subtract(k().pk, whole, first));
    const auto got = value_of(packed::decrypt(k().sk_portable, views(rest)));
    for (std::size_t c = 0; c < 3; ++c) {
        double expected = 0;
        for (std::size_t r = 9; r < rows; ++r) expected += values[3 * r + c];
        EXPECT_EQ(got[c], expected) << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, PackedEngines, ::testing::Values(2048u, 3072u, 4096u));

// ---- Which refusal a batch reports

// A packed blob of 2 slots of 64 bits whose plaintext carries out of its top
// slot, made without the module's encryption.
Bytes carrying_blob(const mpz_class& n) {
    const mpz_class m = mpz_class(1) << 127;
    return write_packed(Layout{0, 2, 64}, testing::textbook_encrypt(n, m, mpz_class(7)));
}

struct TwoFaults {
    std::size_t carry, malformed;  // 0-based positions
};

class DecryptRefusals : public ::testing::TestWithParam<TwoFaults> {};

TEST_P(DecryptRefusals, TheLowestIsReportedOnBothEngines) {
    const Engines& k = keys(2048);
    std::vector<double> values(2 * 12, 1.0);
    auto blobs = value_of(packed::encrypt(k.pk, {values, 12, 2}, 0, 64));
    blobs[GetParam().carry] = carrying_blob(k.pk.n);
    blobs[GetParam().malformed] = Bytes{PACKED_MARKER, 0};
    const std::size_t lowest = std::min(GetParam().carry, GetParam().malformed);
    const std::string label = "ciphertext #" + std::to_string(lowest + 1) +
                              (lowest == GetParam().carry ? " does not" : ": packed");
    for (const SecretKeyRecord* sk : {&k.sk, &k.sk_portable})
        expect_refused(packed::decrypt(*sk, views(blobs)), label);
}

// Within one group of four ciphertexts, across two, and at either end.
INSTANTIATE_TEST_SUITE_P(GroupEdges, DecryptRefusals,
                         ::testing::Values(TwoFaults{0, 1}, TwoFaults{1, 0}, TwoFaults{3, 4},
                                           TwoFaults{4, 3}, TwoFaults{2, 9}, TwoFaults{11, 5},
                                           TwoFaults{6, 11}));

struct SubtractFaults {
    std::size_t count, not_invertible, malformed;
};

class SubtractRefusals : public ::testing::TestWithParam<SubtractFaults> {};

TEST_P(SubtractRefusals, TheLowestIsReported) {
    const Engines& k = keys(2048);
    const auto [count, bad, malformed] = GetParam();
    const Bytes one = write_packed(Layout{0, 1, 64}, mpz_class(1));
    std::vector<Bytes> minuends(count, one), subtrahends(count, one);
    subtrahends[bad] = write_packed(Layout{0, 1, 64}, k.pk.n);  // shares every factor with n
    minuends[malformed] = Bytes{};
    expect_refused(packed::subtract(k.pk, views(minuends), views(subtrahends)),
                   bad < malformed
                       ? "subtrahend #" + std::to_string(bad + 1) + " has no inverse"
                       : "minuend #" + std::to_string(malformed + 1) + ": ciphertext is empty");
}

// Around the end of the first batch that shares an inversion (256 pairs).
INSTANTIATE_TEST_SUITE_P(ChunkEdges, SubtractRefusals,
                         ::testing::Values(SubtractFaults{300, 255, 256},
                                           SubtractFaults{300, 256, 255},
                                           SubtractFaults{300, 257, 299},
                                           SubtractFaults{300, 299, 0}, SubtractFaults{3, 2, 1}));

}  // namespace
}  // namespace hecrypt
