// Secrets at rest beyond what the code can wipe by name. GMP keeps the
// temporaries of its own functions (the n - 1 of a primality test, the
// remainders of an inversion, the powers inside a division) on the calling
// thread's stack when they are small and in blocks from its allocator when
// they are not, and hands neither back zeroed. Two measures reach them: GMP
// memory functions that zero every block before it goes back, and a wipe of
// the stack below a frame once the secret work under it is done.
#pragma once

#include <cstddef>

namespace hecrypt {

// Zeroes `size` bytes at `data` by a store the compiler may not drop, however
// dead the memory looks to it: the one zeroing primitive under every wipe in
// the module (integers, limbs, lanes, GMP's blocks, the stack).
void wipe_bytes(void* data, std::size_t size) noexcept;

// How much stack a wipe clears below the frame that asks for it, about two
// and a half times the deepest the work below it was seen to go, GMP's
// temporaries included. Key generation: its primality tests reach 44 KiB
// below the caller for primes of 3968 bits (their power tables still fit
// GMP's on-stack limit, which longer ones outgrow) and the derivation of hs
// 50 KiB; a decryption reaches 13 KiB at 8192 bits.
constexpr std::size_t KEY_STACK_WIPE_BYTES = 128 * 1024;
constexpr std::size_t DECRYPT_STACK_WIPE_BYTES = 32 * 1024;
// Products by secret scalars, and the conversion of the scalars before them,
// keep a scalar or its powers in locals of a few frames: a few KiB.
constexpr std::size_t SCALAR_STACK_WIPE_BYTES = 16 * 1024;

// Installs, for the life of the process, GMP memory functions that zero every
// block before it goes back: on free, and on reallocation, which becomes a new
// block, a copy and the old block zeroed and freed. They wrap the functions
// installed at the time of the first call, so a block allocated earlier is
// still freed by the functions that allocated it. GMP's memory functions are
// process-wide: call this before other threads use GMP. Later calls do nothing.
void install_gmp_wiping();

// The wiping functions over the ones installed at construction, for the life
// of the object; the wrapped ones are put back at its end. For tests, which
// need them above a recorder of their own. Faults if wiping is installed.
class GmpWipingScope {
  public:
    GmpWipingScope();
    ~GmpWipingScope();
    GmpWipingScope(const GmpWipingScope&) = delete;
    GmpWipingScope& operator=(const GmpWipingScope&) = delete;
};

// Zeroes up to `bytes` of the calling thread's stack just below the caller's
// frame, where the frames of the functions it has returned from, and what
// they allocated on the stack, are left. It stays clear of the end of the
// thread's stack (found once per thread), so a thread with a small stack gets
// a shorter wipe, and one running on a stack of its own making none. The
// vector registers are zeroed too, since they are saved to the stack unasked.
void wipe_stack_below(std::size_t bytes) noexcept;

// Wipes the stack below the frame that holds it when it goes out of scope:
// declared first in a function whose callees handle secrets, it runs last.
class StackWipe {
  public:
    explicit StackWipe(std::size_t bytes) noexcept : bytes_(bytes) {}
    ~StackWipe() { wipe_stack_below(bytes_); }
    StackWipe(const StackWipe&) = delete;
    StackWipe& operator=(const StackWipe&) = delete;

  private:
    std::size_t bytes_;
};

}  // namespace hecrypt
