#include "rng.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "core/support/outcome.hpp"

namespace hecrypt {
namespace {

// ---- ChaCha

void quarter_round(ChaChaState& x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

std::uint32_t load_le(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

void store_le(std::uint32_t word, std::uint8_t* p) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(word >> (8 * i));
}

// ---- Seeds from the operating system

std::string os_error(int code) {
    if (code <= 0) return "internal error: the system reported a failure without an errno";
    char text[128];
    return std::string(strerror_r(code, text, sizeof text)) + " (os error " + std::to_string(code) +
           ")";
}

// Calls read_some(destination, wanted) until the seed is full.
template <class ReadSome>
void fill_seed(Seed& seed, const char* source, ReadSome read_some) {
    std::size_t done = 0;
    while (done < seed.size()) {
        const std::size_t wanted = seed.size() - done;
        const ssize_t got = read_some(seed.data() + done, wanted);
        if (got < 0) {
            const int code = errno;
            if (code == EINTR) continue;
            throw SeedError(os_error(code));
        }
        if (got == 0 || static_cast<std::size_t>(got) > wanted)
            throw SeedError(std::string("internal error: ") + source +
                            " returned an unexpected byte count");
        done += static_cast<std::size_t>(got);
    }
}

// Decided by the first seeding of the process and kept.
bool getrandom_usable() {
    enum : int { UNDECIDED, USABLE, UNUSABLE };
    static std::atomic<int> state{UNDECIDED};
    int known = state.load(std::memory_order_relaxed);
    if (known == UNDECIDED) {
        std::uint8_t probe = 0;
        const bool refused = getrandom(&probe, 0, 0) < 0 && (errno == EPERM || errno == ENOSYS);
        known = refused ? UNUSABLE : USABLE;
        state.store(known, std::memory_order_relaxed);
    }
    return known == USABLE;
}

int open_read_only(const char* path) {
    int fd;
    do fd = open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) throw SeedError(os_error(errno));
    return fd;
}

// /dev/random turns readable once the kernel's entropy pool is initialised;
// no seed is taken before that.
void wait_for_entropy_pool() {
    const int fd = open_read_only("/dev/random");
    pollfd request{fd, POLLIN, 0};
    while (poll(&request, 1, -1) < 0) {
        const int code = errno;
        if (code == EINTR || code == EAGAIN) continue;
        close(fd);
        throw SeedError(os_error(code));
    }
    close(fd);
}

int urandom_descriptor() {
    static std::mutex opening;
    static std::atomic<int> descriptor{-1};
    int fd = descriptor.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    std::lock_guard hold(opening);
    fd = descriptor.load(std::memory_order_relaxed);
    if (fd < 0) {
        wait_for_entropy_pool();
        fd = open_read_only("/dev/urandom");
        descriptor.store(fd, std::memory_order_release);
    }
    return fd;
}

// ---- Forks

// Bumped in the prepare, parent and child hooks, so that both sides of a fork
// see a value different from the one their generators were seeded under.
std::atomic<std::uint64_t> fork_generation{0};

extern "C" void note_fork() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t current_fork_generation() { return fork_generation.load(std::memory_order_relaxed); }

void register_fork_handler_once() {
    static const bool registered = [] {
        const int code = pthread_atfork(note_fork, note_fork, note_fork);
        if (code != 0)
            throw InternalFault("libc::pthread_atfork failed with code " + std::to_string(code));
        return true;
    }();
    (void)registered;
}

}  // namespace

ChaChaState chacha_block(const ChaChaState& input, int rounds) {
    ChaChaState x = input;
    for (int round = 0; round < rounds; round += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < x.size(); ++i) x[i] += input[i];
    return x;
}

void advance_block_counter(ChaChaState& input) {
    if (++input[12] == 0) ++input[13];
}

void os_seed(Seed& seed) {
    if (getrandom_usable()) {
        fill_seed(seed, "getrandom",
                  [](std::uint8_t* to, std::size_t n) { return getrandom(to, n, 0); });
    } else {
        const int fd = urandom_descriptor();
        fill_seed(seed, "read", [fd](std::uint8_t* to, std::size_t n) { return read(fd, to, n); });
    }
}

// ---- The generator

ChaChaRng::ChaChaRng(SeedSource source) : source_(source) {
    rekey("could not initialize thread_rng: ");
    register_fork_handler_once();
}

void ChaChaRng::fill(std::span<std::uint8_t> buffer) {
    if (buffer.empty()) return;
    // The rest of the block current at a fork exists in both processes; handing
    // it out on either side would repeat bytes (and random exponents).
    if (fork_generation_ != current_fork_generation()) next_word_ = BLOCK_BYTES / 4;
    std::size_t done = 0;
    while (done < buffer.size()) {
        if (next_word_ == BLOCK_BYTES / 4) refill();
        const std::size_t offset = 4 * next_word_;
        const std::size_t take = std::min(buffer.size() - done, BLOCK_BYTES - offset);
        std::memcpy(buffer.data() + done, block_.get().data() + offset, take);
        done += take;
        next_word_ += (take + 3) / 4;
    }
}

void ChaChaRng::refill() {
    if (until_reseed_ <= 0 || fork_generation_ != current_fork_generation()) reseed();
    until_reseed_ -= static_cast<std::int64_t>(BLOCK_BYTES);
    for (std::size_t at = 0; at < BLOCK_BYTES; at += 64) {
        const Wiped<ChaChaState> words = chacha_block(input_, 12);
        for (std::size_t i = 0; i < words.get().size(); ++i)
            store_le(words.get()[i], block_.get().data() + at + 4 * i);
        advance_block_counter(input_);
    }
    next_word_ = 0;
}

void ChaChaRng::reseed() {
    rekey("Reseeding RNG failed: ");
    until_reseed_ = RESEED_THRESHOLD;
    wipe(block_.get());
    next_word_ = BLOCK_BYTES / 4;
}

void ChaChaRng::rekey(const char* fault_prefix) {
    // Read before seeding: a fork during the seeding then forces one more.
    const std::uint64_t generation = current_fork_generation();
    Wiped<Seed> seed;
    try {
        source_(seed);
    } catch (const SeedError& error) {
        throw InternalFault(fault_prefix + std::string(error.what()));
    }
    // "expand 32-byte k", the key, then counter and nonce all zero.
    input_.get() = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (std::size_t i = 0; i < 8; ++i) input_.get()[4 + i] = load_le(seed.get().data() + 4 * i);
    fork_generation_ = generation;
}

// ---- Per thread

namespace {

ChaChaRng& thread_rng() {
    thread_local ChaChaRng rng(os_seed);
    return rng;
}

}  // namespace

void fill_random(std::span<std::uint8_t> buffer) {
    if (!buffer.empty()) thread_rng().fill(buffer);
}

void forget_random_history() { thread_rng().reseed(); }

Bytes random_bytes(std::size_t len) {
    Bytes out(len);
    fill_random(out);
    return out;
}

}  // namespace hecrypt
