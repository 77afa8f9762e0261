// Secrets at rest: key material and the intermediates derived from it are
// zeroed before their memory goes back to the allocator, and the stack below
// the secret work is cleared once it is done. For the length of a check,
// GMP's memory functions are replaced by ones that keep a copy of every block
// GMP releases (freed, or left behind by a reallocation), and the copies are
// searched for the secrets. The wiping functions, where a check has them, sit
// above the recorder, as they sit above the allocator in the module.
#include <alloca.h>
#include <gmp.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "core/keys/primes.hpp"
#include "core/keys/secret.hpp"
#include "core/support/secure_memory.hpp"
#include "key_fixtures.hpp"
#include "numbers.hpp"

namespace hecrypt {
namespace {

using testing::hex;
using testing::powm;

// Whether GMP's blocks pass through the wiping functions on their way to
// the recorder, or only the code's own wiping stands between them.
enum class Wiping { OwnOnly, GmpToo };

class ReleasedBlocks {
  public:
    explicit ReleasedBlocks(Wiping wiping) {
        mp_get_memory_functions(&allocate_, &reallocate_, &free_);
        active_ = this;
        mp_set_memory_functions(allocate, reallocate, release);
        if (wiping == Wiping::GmpToo) wiping_.emplace();
    }
    ~ReleasedBlocks() { stop(); }
    ReleasedBlocks(const ReleasedBlocks&) = delete;
    ReleasedBlocks& operator=(const ReleasedBlocks&) = delete;

    // Puts the previous functions back; the copies stay for inspection.
    void stop() {
        if (active_ != this) return;
        wiping_.reset();
        mp_set_memory_functions(allocate_, reallocate_, free_);
        active_ = nullptr;
    }
    const std::vector<Bytes>& blocks() const { return blocks_; }

  private:
    static void* allocate(std::size_t size) { return active_->allocate_(size); }
    static void* reallocate(void* block, std::size_t old_size, std::size_t new_size) {
        active_->keep(block, old_size);
        return active_->reallocate_(block, old_size, new_size);
    }
    static void release(void* block, std::size_t size) {
        active_->keep(block, size);
        active_->free_(block, size);
    }
    void keep(const void* block, std::size_t size) {
        const auto* bytes = static_cast<const std::uint8_t*>(block);
        blocks_.emplace_back(bytes, bytes + size);
    }

    static inline ReleasedBlocks* active_ = nullptr;
    void* (*allocate_)(std::size_t) = nullptr;
    void* (*reallocate_)(void*, std::size_t, std::size_t) = nullptr;
    void (*free_)(void*, std::size_t) = nullptr;
    std::vector<Bytes> blocks_;
    std::optional<GmpWipingScope> wiping_;
};

struct Secret {
    std::string name;
    mpz_class value;
};

// Whether `block` holds the top limbs of x (up to four), at a limb boundary.
bool holds(const Bytes& block, const mpz_class& x) {
    const std::size_t size = mpz_size(x.get_mpz_t());
    const std::size_t run = std::min<std::size_t>(size, 4);
    const auto* top = mpz_limbs_read(x.get_mpz_t()) + (size - run);
    const std::size_t bytes = run * sizeof(mp_limb_t);
    for (std::size_t at = 0; at + bytes <= block.size(); at += sizeof(mp_limb_t)) {
        if (std::memcmp(block.data() + at, top, bytes) == 0) return true;
    }
    return false;
}

// The names of the secrets some released block still holds.
std::vector<std::string> left_behind(const ReleasedBlocks& released,
                                     const std::vector<Secret>& secrets) {
    std::vector<std::string> found;
    for (const Secret& secret : secrets) {
        if (std::ranges::any_of(released.blocks(),
                                [&](const Bytes& b) { return holds(b, secret.value); }))
            found.push_back(secret.name);
    }
    return found;
}

bool all_zero(const Bytes& block) {
    return std::ranges::all_of(block, [](std::uint8_t b) { return b == 0; });
}

const mpz_class& p() {
    static const mpz_class value = hex(testing::SAFE_PRIME_1024_1);
    return value;
}
const mpz_class& q() {
    static const mpz_class value = hex(testing::SAFE_PRIME_1024_2);
    return value;
}

mpz_class l_of(const mpz_class& u, const mpz_class& d) { return (u - 1) / d; }

// The primes and what would give them away: p - 1 and (p - 1)/2 factor n
// at once, so do p^2, |p - q|, and the per-prime decryption constants.
std::vector<Secret> key_secrets() {
    const mpz_class n = p() * q();
    std::vector<Secret> secrets;
    for (const auto& [name, r] : {std::pair{"p", p()}, std::pair{"q", q()}}) {
        const std::string s(name);
        const mpz_class r_squared = r * r;
        const mpz_class g = ((r - 1) * n + 1) % r_squared;
        mpz_class h;
        mpz_invert(h.get_mpz_t(), mpz_class(l_of(g, r)).get_mpz_t(), r.get_mpz_t());
        secrets.push_back({s, r});
        secrets.push_back({s + " - 1", r - 1});
        secrets.push_back({"(" + s + " - 1)/2", (r - 1) / 2});
        secrets.push_back({s + "^2", r_squared});
        secrets.push_back({"(" + s + " - 1) n", (r - 1) * n});
        secrets.push_back({"g" + s, g});
        secrets.push_back({"L" + s, l_of(g, r)});
        secrets.push_back({"h" + s, h});
    }
    mpz_class p_inv_q;
    mpz_invert(p_inv_q.get_mpz_t(), p().get_mpz_t(), q().get_mpz_t());
    secrets.push_back({"p^-1 mod q", p_inv_q});
    secrets.push_back({"|p - q|", abs(p() - q())});
    return secrets;
}

TEST(Wipe, SecretKeyRecordIsZeroedBeforeItIsFreed) {
    std::optional<SecretKeyRecord> sk = prepare_decryption(p(), q());
    ASSERT_TRUE(sk.has_value());
    ReleasedBlocks released(Wiping::OwnOnly);
    sk.reset();
    released.stop();
    // GMP's blocks of the fields; the engine's p^2, q^2, p - 1 and q - 1 at
    // fixed widths are limb vectors that their own allocator zeroes.
    EXPECT_EQ(released.blocks().size(), 12u) << "every field holds limbs of its own";
    for (const Bytes& block : released.blocks()) EXPECT_TRUE(all_zero(block));
}

// Making a key leaves none of its secrets in freed memory; the key itself is
// kept alive until the search is done. The primality tests of the checks
// leave p and p - 1 in GMP's own temporaries, which only the wiping
// functions reach.
struct Making {
    const char* name;
    std::function<std::shared_ptr<const void>()> make;  // what was made, kept alive
    Wiping wiping;
};

void PrintTo(const Making& making, std::ostream* out) { *out << making.name; }

class WipeKeyMaking : public ::testing::TestWithParam<Making> {};

TEST_P(WipeKeyMaking, LeavesNoSecretBehind) {
    const std::vector<Secret> secrets = key_secrets();
    ReleasedBlocks released(GetParam().wiping);
    std::shared_ptr<const void> made = GetParam().make();
    released.stop();
    EXPECT_EQ(left_behind(released, secrets), std::vector<std::string>{});
}

// What `made` holds, kept alive behind a pointer.
template <class Made>
std::shared_ptr<const void> kept(Made made) {
    return std::make_shared<std::remove_cvref_t<decltype(made.value())>>(std::move(made.value()));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, WipeKeyMaking,
    ::testing::Values(Making{"prepare_decryption",
                             [] { return kept(prepare_decryption(p(), q())); }, Wiping::OwnOnly},
                      Making{"assemble_keypair", [] { return kept(assemble_keypair(p(), q())); },
                             Wiping::GmpToo}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Wipe, SafePrimeLeavesNoHalfOfItsResult) {
    ReleasedBlocks released(Wiping::GmpToo);
    const mpz_class prime = safe_prime(256);
    released.stop();
    EXPECT_EQ(left_behind(released, {{"(p - 1)/2", (prime - 1) / 2}}), std::vector<std::string>{});
}

// Every intermediate of a decryption, computed the long way round: none of
// them may be left in freed memory, and neither may the key.
TEST(Wipe, DecryptionLeavesNoIntermediateBehind) {
    const SecretKeyRecord& sk = testing::known_keypair_2048().secret_key;
    std::vector<Secret> secrets = key_secrets();
    const mpz_class m = sk.n / 3 + 12345;  // full width modulo p and q alike
    const mpz_class c = testing::textbook_encrypt(sk.n, m, 7);
    for (const auto& [name, r, r_squared, h] :
         {std::tuple{"p", sk.p, sk.p_squared, sk.hp}, std::tuple{"q", sk.q, sk.q_squared, sk.hq}}) {
        const std::string s(name);
        const mpz_class x = powm(c, r - 1, r_squared);
        const mpz_class l = l_of(x, r);
        secrets.push_back({"x" + s, x});
        secrets.push_back({"x" + s + " - 1", x - 1});
        secrets.push_back({"L" + s + " of c", l});
        secrets.push_back({"L" + s + " h" + s, l * h});
        secrets.push_back({"m mod " + s, mpz_class(l * h % r)});
    }
    const mpz_class mp = m % sk.p, mq = m % sk.q;
    mpz_class t = (mq - mp) * sk.p_inv_q;
    secrets.push_back({"(mq - mp) p^-1", t});
    mpz_fdiv_r(t.get_mpz_t(), t.get_mpz_t(), sk.q.get_mpz_t());
    secrets.push_back({"t", t});
    secrets.push_back({"p t", sk.p * t});

    ReleasedBlocks released(Wiping::OwnOnly);
    std::optional<mpz_class> plaintext = decrypt_integer(sk, c);
    released.stop();
    ASSERT_TRUE(plaintext.has_value());
    EXPECT_EQ(*plaintext, m);
    EXPECT_FALSE(released.blocks().empty()) << "the intermediates live in GMP's memory";
    EXPECT_EQ(left_behind(released, secrets), std::vector<std::string>{});
}

using MemoryFunctions =
    std::tuple<void* (*)(std::size_t), void* (*)(void*, std::size_t, std::size_t),
               void (*)(void*, std::size_t)>;

MemoryFunctions installed_functions() {
    MemoryFunctions f;
    mp_get_memory_functions(&std::get<0>(f), &std::get<1>(f), &std::get<2>(f));
    return f;
}

// Every block reaches the wrapped functions zeroed: freed, moved by a
// reallocation (which keeps the value), or allocated before the wiping
// functions went in. Their end puts the wrapped functions back.
TEST(GmpWiping, BlocksReachTheWrappedFunctionsZeroed) {
    ReleasedBlocks released(Wiping::OwnOnly);
    const MemoryFunctions recorder = installed_functions();
    auto earlier = std::make_unique<mpz_class>(p());
    {
        const GmpWipingScope wiping;
        mpz_class x = p();
        for (mp_bitcnt_t bits : {4096, 1024, 8192}) {
            mpz_realloc2(x.get_mpz_t(), bits);
            EXPECT_EQ(x, p()) << bits;
        }
        earlier.reset();
    }
    EXPECT_EQ(installed_functions(), recorder);
    released.stop();
    EXPECT_GE(released.blocks().size(), 5u);
    for (const Bytes& block : released.blocks()) EXPECT_TRUE(all_zero(block));
}

// Copies x into a frame that is gone once this returns, as GMP's temporaries
// are left.
__attribute__((noinline)) void leave_on_stack(const mpz_class& x) {
    volatile mp_limb_t copy[512];
    for (std::size_t i = 0; i < mpz_size(x.get_mpz_t()); ++i)
        copy[i] = mpz_getlimbn(x.get_mpz_t(), static_cast<mp_size_t>(i));
    asm volatile("" : : "r"(copy) : "memory");
}

// Whether the `depth` bytes of stack below the caller's frame hold x.
__attribute__((noinline)) bool on_stack_below(const mpz_class& x, std::size_t depth) {
    const auto* area = static_cast<const std::uint8_t*>(alloca(depth));
    asm volatile("" : : "r"(area) : "memory");
    return holds(Bytes(area, area + depth), x);
}

// A primality test of p leaves p - 1 on the stack (so does the copy made
// here, should GMP's frames not reach as deep); a wipe removes both.
class StackWipeAfterGmp : public ::testing::TestWithParam<bool> {};

TEST_P(StackWipeAfterGmp, ClearsWhatTheCalleesLeft) {
    const bool wipe = GetParam();
    const mpz_class p_minus_1 = p() - 1;
    leave_on_stack(p_minus_1);
    EXPECT_TRUE(probably_prime(p()));
    if (wipe) wipe_stack_below(KEY_STACK_WIPE_BYTES);
    EXPECT_EQ(on_stack_below(p_minus_1, KEY_STACK_WIPE_BYTES), !wipe);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithout, StackWipeAfterGmp, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "wiped" : "not_wiped"; });

// On a thread whose stack is smaller than the wipe asked for, the wipe clears
// what there is room for and returns; overrunning the stack would crash.
// The child starts afresh rather than by a bare fork: forked once the pool's
// workers run, it held their thread-local blocks with no thread to own them,
// and LeakSanitizer's exit check failed it whenever an earlier test had
// started the pool.
TEST(StackWipe, StaysWithinASmallThreadStack) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto on_small_stack = [] {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 128 * 1024);
        auto run = [](void*) -> void* {
            static int remained;
            leave_on_stack(p());
            wipe_stack_below(1 << 20);
            return on_stack_below(p(), 16 * 1024) ? &remained : nullptr;
        };
        pthread_t thread;
        void* left = &thread;
        if (pthread_create(&thread, &attributes, run, nullptr) == 0) pthread_join(thread, &left);
        std::exit(left == nullptr ? 0 : 1);
    };
    EXPECT_EXIT(on_small_stack(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace hecrypt
