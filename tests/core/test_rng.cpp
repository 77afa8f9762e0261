#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "core/outcome.hpp"
#include "core/runtime/rng.hpp"

namespace hecrypt {
namespace {

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

TEST(ChaChaRng, SeedFailuresAreInternalFaults) {
    allow_seeds(0);
    try {
        ChaChaRng rng(counting_seed);
        FAIL() << "no fault";
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "could not initialize thread_rng: no entropy");
    }
    allow_seeds(1);
    ChaChaRng rng(counting_seed);
    draw(rng, RESEED_THRESHOLD);
    try {
        draw(rng, 1);
        FAIL() << "no fault";
    } catch (const InternalFault& fault) {
        EXPECT_STREQ(fault.what(), "Reseeding RNG failed: no entropy");
    }
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
