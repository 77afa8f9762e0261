#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/rng.hpp"
#include "core/support/outcome.hpp"
#include "fault_text.hpp"

namespace hecrypt {
namespace {

using testing::fault_text;

void fixed_seed(Seed& seed) { seed.fill(7); }

int seeds_given = 0;
int seeds_allowed = 0;

// Seeds 1, 2, 3, ... while allowed, then fails.
void counting_seed(Seed& seed) {
    if (seeds_given == seeds_allowed) throw SeedError("no entropy");
    seed.fill(static_cast<std::uint8_t>(++seeds_given));
}

void allow_seeds(int count) {
    seeds_given = 0;
    seeds_allowed = count;
}

Bytes draw(ChaChaRng& rng, std::size_t len) {
    Bytes out(len);
    rng.fill(out);
    return out;
}

// RFC 7539, 2.3.2: one 20-round block; the 12-round generator uses the same
// rounds, only fewer of them.
TEST(ChaChaBlock, MatchesPublishedTwentyRoundVector) {
    ChaChaState input = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504,
                         0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                         0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const ChaChaState expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                  0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                  0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                  0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(chacha_block(input, 20), expected);
    EXPECT_NE(chacha_block(input, 12), expected);
}

// ---- Known answers: the all-zero 256-bit key with a zero nonce, published
// for 8, 12 and 20 rounds as the first two keystream blocks (block counter 0
// and 1). The 20-round pair is also RFC 7539's A.1 vectors #1 and #2, whose
// 32-bit counter and 96-bit nonce lay out the same words when both are zero.

constexpr ChaChaState::value_type SIGMA[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

ChaChaState zero_key_input(std::uint64_t counter) {
    ChaChaState input{};
    std::copy(std::begin(SIGMA), std::end(SIGMA), input.begin());
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    return input;
}

std::string hex_of(ByteView bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xf];
    }
    return hex;
}

// The block as keystream bytes: words in little-endian order, in hex.
std::string keystream_hex(const ChaChaState& words) {
    Bytes bytes;
    for (std::uint32_t word : words)
        for (int byte = 0; byte < 4; ++byte) bytes.push_back(std::uint8_t(word >> (8 * byte)));
    return hex_of(bytes);
}

struct KnownBlock {
    int rounds;
    std::uint64_t counter;
    const char* keystream;
};

const KnownBlock ZERO_KEY_BLOCKS[] = {
    {8, 0,
     "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
     "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"},
    {8, 1,
     "d2aefa0deaa5c151bf0adb6c01f2a5adc0fd581259f9a2aadcf20f8fd566a26b"
     "5032ec38bbc5da98ee0c6f568b872a65a08abf251deb21bb4b56e5d8821e68aa"},
    {12, 0,
     "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
     "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"},
    {12, 1,
     "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
     "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316"},
    {20, 0,
     "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
     "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
    {20, 1,
     "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
     "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
};

class ZeroKeyBlock : public ::testing::TestWithParam<KnownBlock> {};

TEST_P(ZeroKeyBlock, MatchesThePublishedKeystream) {
    const KnownBlock& known = GetParam();
    EXPECT_EQ(keystream_hex(chacha_block(zero_key_input(known.counter), known.rounds)),
              known.keystream);
}

INSTANTIATE_TEST_SUITE_P(Published, ZeroKeyBlock, ::testing::ValuesIn(ZERO_KEY_BLOCKS),
                         [](const auto& info) {
                             return "ChaCha" + std::to_string(info.param.rounds) + "Block" +
                                    std::to_string(info.param.counter);
                         });

void zero_seed(Seed& seed) { seed.fill(0); }

// One refill is four consecutive ChaCha12 blocks from counter 0 (the first
// two are the published ones), and the next refill carries on at counter 4.
TEST(ChaChaRng, RefillIsFourConsecutiveChaCha12Blocks) {
    ChaChaRng rng(zero_seed);
    Bytes stream = draw(rng, ChaChaRng::BLOCK_BYTES);
    const Bytes next_refill = draw(rng, 64);
    stream.insert(stream.end(), next_refill.begin(), next_refill.end());
    EXPECT_EQ(hex_of(ByteView(stream).first(64)), ZERO_KEY_BLOCKS[2].keystream);
    for (std::uint64_t block = 0; block < 5; ++block)
        EXPECT_EQ(hex_of(ByteView(stream).subspan(64 * block, 64)),
                  keystream_hex(chacha_block(zero_key_input(block), 12)))
            << "block " << block;
}

struct CounterStep {
    std::uint64_t before;
    std::uint64_t after;
};

class BlockCounter : public ::testing::TestWithParam<CounterStep> {};

// Words 12 and 13 are one 64-bit counter: past 2^32 blocks the low word
// wraps into the high one instead of repeating the first blocks.
TEST_P(BlockCounter, StepsAsOneSixtyFourBitNumber) {
    const auto with_nonce = [](std::uint64_t counter) {
        ChaChaState input = zero_key_input(counter);
        input[14] = 0x01234567;  // the nonce words are left alone
        input[15] = 0x89abcdef;
        return input;
    };
    ChaChaState input = with_nonce(GetParam().before);
    advance_block_counter(input);
    EXPECT_EQ(input, with_nonce(GetParam().after));
}

INSTANTIATE_TEST_SUITE_P(Steps, BlockCounter,
                         ::testing::Values(CounterStep{0, 1}, CounterStep{0xfffffffe, 0xffffffff},
                                           CounterStep{0xffffffff, 0x100000000},
                                           CounterStep{0x5ffffffff, 0x600000000},
                                           CounterStep{0xffffffffffffffff, 0}));

// Each draw starts on a word boundary of one contiguous stream.
struct DrawCase {
    std::vector<std::size_t> sizes;
    std::vector<std::size_t> offsets;  // where each draw starts in the stream
};

class DrawLayout : public ::testing::TestWithParam<DrawCase> {};

TEST_P(DrawLayout, SkipsTheRestOfAPartlyUsedWord) {
    ChaChaRng reference(fixed_seed);
    const Bytes stream = draw(reference, 1024);
    ChaChaRng rng(fixed_seed);
    const DrawCase& c = GetParam();
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
        const Bytes got = draw(rng, c.sizes[i]);
        const Bytes want(stream.begin() + c.offsets[i], stream.begin() + c.offsets[i] + got.size());
        EXPECT_EQ(got, want) << "draw #" << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Draws, DrawLayout,
                         ::testing::Values(DrawCase{{0, 8}, {0, 0}}, DrawCase{{3, 4}, {0, 4}},
                                           DrawCase{{1, 1, 1}, {0, 4, 8}},
                                           DrawCase{{255, 2}, {0, 256}},
                                           DrawCase{{250, 10, 5}, {0, 252, 264}},
                                           DrawCase{{600, 1}, {0, 600}}));

TEST(ChaChaRng, ReseedsAfterTheThresholdAndNotBefore) {
    allow_seeds(3);
    ChaChaRng rng(counting_seed);
    draw(rng, 1000);
    draw(rng, RESEED_THRESHOLD - 1000);
    EXPECT_EQ(seeds_given, 1);
    draw(rng, 1);
    EXPECT_EQ(seeds_given, 2);
    draw(rng, RESEED_THRESHOLD - 4);
    EXPECT_EQ(seeds_given, 2);
    draw(rng, 1);
    EXPECT_EQ(seeds_given, 3);
}

// After a reseed the stream is the one of the new seed from its start: the
// old key and the rest of the old block are gone.
TEST(ChaChaRng, ReseedStartsTheNewSeedsStreamAndDropsTheBlock) {
    allow_seeds(2);
    ChaChaRng rng(counting_seed);
    draw(rng, 8);
    rng.reseed();
    EXPECT_EQ(seeds_given, 2);
    const Bytes after = draw(rng, 64);
    allow_seeds(2);
    ChaChaRng first(counting_seed);
    const Bytes old = draw(first, 72);
    ChaChaRng second(counting_seed);  // given the second seed
    EXPECT_EQ(after, draw(second, 64));
    EXPECT_NE(after, Bytes(old.begin() + 8, old.end()));
}

TEST(ChaChaRng, SeedFailuresAreInternalFaults) {
    allow_seeds(0);
    EXPECT_EQ(fault_text([] { ChaChaRng rng(counting_seed); }),
              "could not initialize thread_rng: no entropy");
    allow_seeds(1);
    ChaChaRng rng(counting_seed);
    draw(rng, RESEED_THRESHOLD);
    EXPECT_EQ(fault_text([&] { draw(rng, 1); }), "Reseeding RNG failed: no entropy");
}

TEST(OsSeed, GivesDistinctSeeds) {
    Seed a{}, b{};
    os_seed(a);
    os_seed(b);
    EXPECT_NE(a, b);
}

TEST(ThreadRng, ThreadsHaveTheirOwnStreams) {
    Bytes here = random_bytes(32);
    Bytes there;
    std::thread([&] { there = random_bytes(32); }).join();
    EXPECT_EQ(here.size(), 32u);
    EXPECT_NE(here, there);
    EXPECT_TRUE(random_bytes(0).empty());
}

// Both processes hold the same block right after fork(); neither may hand out
// its unread rest.
TEST(ThreadRng, ChildAndParentNeverShareBytesAfterFork) {
    random_bytes(5);  // a block in use, most of it unread
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const Bytes drawn = random_bytes(32);
        const bool sent = write(pipe_ends[1], drawn.data(), drawn.size()) == 32;
        _exit(sent ? 0 : 1);
    }
    const Bytes parent = random_bytes(32);
    Bytes from_child(32);
    EXPECT_EQ(read(pipe_ends[0], from_child.data(), from_child.size()), 32);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(parent, from_child);
}

}  // namespace
}  // namespace hecrypt
