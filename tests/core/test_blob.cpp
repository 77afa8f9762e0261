#include <gtest/gtest.h>

#include "core/encoding/blob.hpp"
#include "core/encoding/fixed_point.hpp"
#include "value_of.hpp"

namespace hecrypt {
namespace {

using testing::value_of;

// The scale and the big-endian integer, leading zeros ignored; or the
// refusal of an empty blob and of a scale past the limit.
TEST(ParseBlob, ReadsScaleAndIntegerOrRefuses) {
    const struct {
        Bytes blob;
        std::string read;  // "scale ciphertext", or the refusal
    } cases[] = {
        {{8}, "8 0"},
        {{18, 0, 0}, "18 0"},
        {{8, 0, 1}, "8 1"},
        {{0, 0, 0, 1, 0}, "0 256"},
        {{3, 0x12, 0x34, 0x56}, "3 1193046"},
        {{}, "ciphertext is empty: it must start with a scale exponent byte"},
        {{19}, scale_limit_message(19)},
        {{255, 1, 2, 3}, scale_limit_message(255)},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_blob(c.blob);
        EXPECT_EQ(parsed.ok() ? std::to_string(parsed.value().scale) + " " +
                                    parsed.value().ciphertext.get_str()
                              : parsed.refusal(),
                  c.read);
    }
}

TEST(FromBytesBe, AgreesWithGmpAcrossLimbBoundariesAndLeadingZeros) {
    // Every length up to three limbs and past them, with the top bytes zero
    // in some: the top limb is partial or whole, or vanishes.
    gmp_randclass random(gmp_randinit_mt);
    random.seed(11);
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t zeros : {0ul, 1ul, 8ul, 9ul}) {
            Bytes bytes(length);
            for (std::size_t i = 0; i < length; ++i)
                bytes[i] =
                    i < zeros ? 0
                              : static_cast<std::uint8_t>(mpz_class(random.get_z_bits(8)).get_ui());
            mpz_class expected;
            mpz_import(expected.get_mpz_t(), length, 1, 1, 1, 0, bytes.data());
            EXPECT_EQ(from_bytes_be(bytes), expected) << length << " bytes, " << zeros << " zero";
        }
    }
}

TEST(WriteBlob, IsMinimalAndReadsBack) {
    EXPECT_EQ(write_blob(8, 0), Bytes{8});
    EXPECT_EQ(write_blob(0, 256), (Bytes{0, 1, 0}));
    EXPECT_EQ(write_blob(18, 255), (Bytes{18, 255}));

    gmp_randclass random(gmp_randinit_mt);
    random.seed(7);
    for (unsigned long bits : {1ul, 7ul, 8ul, 9ul, 4095ul, 4096ul, 4097ul}) {
        const mpz_class c = random.get_z_bits(bits) | 1;
        const Bytes blob = write_blob(5, c);
        EXPECT_EQ(blob.size(), 1 + (bit_length(c) + 7) / 8);
        EXPECT_NE(blob[1], 0);
        const ParsedBlob parsed = value_of(parse_blob(blob));
        EXPECT_EQ(parsed.scale, 5);
        EXPECT_EQ(parsed.ciphertext, c);
    }
}

TEST(WriteBlob, ReadingAndRewritingDropsLeadingZeros) {
    const Bytes padded{8, 0, 0, 0x01, 0x02};
    const ParsedBlob parsed = value_of(parse_blob(padded));
    EXPECT_EQ(write_blob(parsed.scale, parsed.ciphertext), (Bytes{8, 0x01, 0x02}));
}

TEST(WriteBlob, RejectsWhatNoReaderCouldTakeBack) {
    EXPECT_THROW(write_blob(8, -1), InternalFault);
    EXPECT_THROW(write_blob(MAX_SCALE_POW10 + 1, 1), InternalFault);
}

TEST(Validity, RangeIsOneToBelowNSquaredAndCoprimalityIsWithN) {
    const mpz_class p = 23, q = 47, n = p * q, n_squared = n * n;
    EXPECT_FALSE(in_range(0, n_squared));
    EXPECT_TRUE(in_range(1, n_squared));
    EXPECT_TRUE(in_range(n_squared - 1, n_squared));
    EXPECT_FALSE(in_range(n_squared, n_squared));
    EXPECT_FALSE(in_range(-1, n_squared));

    EXPECT_TRUE(coprime_with(1, n));
    EXPECT_TRUE(coprime_with(n_squared - 1, n));
    EXPECT_FALSE(coprime_with(0, n));
    EXPECT_FALSE(coprime_with(p * 5, n));
    EXPECT_FALSE(coprime_with(q * q * 3, n));
}

}  // namespace
}  // namespace hecrypt
