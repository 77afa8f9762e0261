// Per-thread cryptographic random source: ChaCha12 keyed from the operating
// system, reseeded every 64 KiB of output and after every fork.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "core/support/bigint.hpp"

namespace hecrypt {

constexpr std::size_t SEED_BYTES = 32;
constexpr std::int64_t RESEED_THRESHOLD = 65536;

// Fills `buffer` from the calling thread's generator, creating it on first use.
void fill_random(std::span<std::uint8_t> buffer);

// `len` fresh random bytes.
Bytes random_bytes(std::size_t len);

// Rekeys the calling thread's generator from the operating system and drops
// its unread block, so that no state left in memory can recompute what it has
// handed out so far (the primes of a key, once the key is gone).
void forget_random_history();

// The pieces below are what fill_random is built from; they are public so
// that the stream layout and the reseeding can be checked from fixed seeds.

// The ChaCha block function: `rounds` rounds over `input`, then the
// feed-forward addition of `input`.
using ChaChaState = std::array<std::uint32_t, 16>;
ChaChaState chacha_block(const ChaChaState& input, int rounds);

// Steps the 64-bit block counter of `input`: word 12 low, word 13 high.
void advance_block_counter(ChaChaState& input);

using Seed = std::array<std::uint8_t, SEED_BYTES>;

// Why no seed could be had; the generator prefixes it with what it was doing.
struct SeedError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Fills a seed or throws SeedError.
using SeedSource = void (*)(Seed&);

// A seed from getrandom, or from /dev/urandom (once /dev/random has become
// readable) where the system call is unavailable.
void os_seed(Seed& seed);

// One ChaCha12 stream with nonce zero, handed out 256 bytes (four ChaCha
// blocks) at a time. Each thread's generator is one of these fed by os_seed.
class ChaChaRng {
  public:
    static constexpr std::size_t BLOCK_BYTES = 256;

    // Throws InternalFault when the first seed cannot be had.
    explicit ChaChaRng(SeedSource source);
    ChaChaRng(const ChaChaRng&) = delete;
    ChaChaRng& operator=(const ChaChaRng&) = delete;

    // Every draw starts on a fresh 32-bit word of the block: the unread rest
    // of a partly used word is skipped, never handed out later.
    void fill(std::span<std::uint8_t> buffer);

    // A fresh key from the source; the current block is wiped and dropped.
    void reseed();

  private:
    void refill();
    void rekey(const char* fault_prefix);

    SeedSource source_;
    // Both wipe themselves when the generator ends.
    Wiped<ChaChaState> input_;  // constants, key, block counter, nonce
    Wiped<std::array<std::uint8_t, BLOCK_BYTES>> block_;
    std::size_t next_word_ = BLOCK_BYTES / 4;  // all used: the first draw refills
    std::int64_t until_reseed_ = RESEED_THRESHOLD;
    std::uint64_t fork_generation_ = 0;
};

}  // namespace hecrypt
