// Several threads share one key pair and call the operations at once: the
// records are read without locks, each thread draws from its own generator,
// and the pool serves every caller. Under ThreadSanitizer (scripts/tsan-tests)
// this is where a data race between callers would show.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/ops/ops.hpp"
#include "key_fixtures.hpp"
#include "same_outcome.hpp"

namespace hecrypt {
namespace {

using testing::views;

// One thread's round: encrypt, sum in blocks, multiply, re-randomise, decrypt,
// and check the plaintexts; returns what went wrong, or nothing.
std::string round_trip(const KeyPair& keys, int seed) {
    // 0.5 at scale 0 rounds away from zero, to 1.
    const std::vector<double> values{double(seed), 1.0, -2.0, 3.0, 0.5};
    auto blobs = encrypt_many(keys.public_key, values, 0);
    if (!blobs.ok()) return blobs.refusal();
    const std::vector<Block> blocks{{0, 1, 2}, {3, 4}, {0}};
    auto sums = add_blocks(keys.public_key, views(blobs.value()), blocks);
    if (!sums.ok()) return sums.refusal();
    const std::vector<double> scalars{2.0, -3.0, 5.0};
    auto products = multiply_many_public(keys.public_key, views(sums.value()), scalars, 0);
    if (!products.ok()) return products.refusal();
    auto fresh = rerandomize(keys.public_key, views(products.value()));
    if (!fresh.ok()) return fresh.refusal();
    auto texts = decrypt_many(keys.secret_key, views(fresh.value()));
    if (!texts.ok()) return texts.refusal();
    const std::vector<std::string> wanted{std::to_string(2 * (seed - 1)), "-12",
                                          std::to_string(5 * seed)};
    return texts.value() == wanted ? std::string()
                                   : "wrong plaintexts for seed " + std::to_string(seed);
}

TEST(SharedKeys, ThreadsCallingAtOnceAllGetExactResults) {
    const KeyPair& keys = testing::known_keypair_2048();
    constexpr int THREADS = 4, ROUNDS = 3;
    std::vector<std::string> failures(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < ROUNDS && failures[t].empty(); ++r)
                failures[t] = round_trip(keys, 10 * t + r + 1);
        });
    for (std::thread& thread : threads) thread.join();
    for (const std::string& failure : failures) EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace hecrypt
