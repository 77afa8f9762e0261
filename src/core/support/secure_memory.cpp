#include "core/support/secure_memory.hpp"

#include <alloca.h>
#include <gmp.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "core/support/outcome.hpp"

namespace hecrypt {

namespace {

// ---- GMP's blocks

struct GmpMemory {
    void* (*allocate)(std::size_t) = nullptr;
    void* (*reallocate)(void*, std::size_t, std::size_t) = nullptr;
    void (*release)(void*, std::size_t) = nullptr;
};

GmpMemory installed_functions() {
    GmpMemory functions;
    mp_get_memory_functions(&functions.allocate, &functions.reallocate, &functions.release);
    return functions;
}

void install(const GmpMemory& functions) {
    mp_set_memory_functions(functions.allocate, functions.reallocate, functions.release);
}

// The functions every block is passed on to. Written before the wiping
// functions go in and only read while they are in, so it needs no lock.
GmpMemory wrapped;

void* allocate(std::size_t size) { return wrapped.allocate(size); }

void release(void* block, std::size_t size) {
    wipe_bytes(block, size);
    wrapped.release(block, size);
}

// Never the wrapped reallocation: one that moves the block frees the old one
// with its contents in place.
void* reallocate(void* block, std::size_t old_size, std::size_t new_size) {
    void* moved = wrapped.allocate(new_size);
    std::memcpy(moved, block, std::min(old_size, new_size));
    release(block, old_size);
    return moved;
}

std::mutex switching;
bool wiping = false;     // guarded by `switching`
bool permanent = false;  // installed for the process: a scope's end leaves it

void start_wiping() {
    wrapped = installed_functions();
    install(GmpMemory{allocate, reallocate, release});
    wiping = true;
}

// ---- The stack

// Left below a wipe for the calls it makes and for a signal handler that may
// run on this stack meanwhile.
constexpr std::uintptr_t STACK_RESERVE = 32 * 1024;

// The calling thread's usable stack [floor, ceiling), looked up at its first
// wipe; stays empty when it cannot be found, and then nothing is wiped.
struct ThreadStack {
    bool looked_up = false;
    std::uintptr_t floor = 0;
    std::uintptr_t ceiling = 0;
};

thread_local ThreadStack this_stack;

void look_up(ThreadStack& stack) {
    stack.looked_up = true;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
        stack.floor = reinterpret_cast<std::uintptr_t>(low);
        stack.ceiling = stack.floor + size;
    }
    pthread_attr_destroy(&attributes);
}

}  // namespace

void wipe_bytes(void* data, std::size_t size) noexcept {
    if (size != 0) explicit_bzero(data, size);
}

void install_gmp_wiping() {
    std::lock_guard hold(switching);
    if (!wiping) start_wiping();
    permanent = true;
}

GmpWipingScope::GmpWipingScope() {
    std::lock_guard hold(switching);
    ensure(!wiping, "GMP's blocks are wiped already");
    start_wiping();
}

GmpWipingScope::~GmpWipingScope() {
    std::lock_guard hold(switching);
    if (permanent) return;
    install(wrapped);
    wiping = false;
}

namespace {

// Vector registers keep what the last SIMD code (libsodium's ciphers, say)
// left in them, and the next call the dynamic linker binds lazily, or a
// signal's frame, saves them all to the stack: after the wipe, and above it.
// All of them are the caller's to save, so zeroing them here is free to do.
#if defined(__x86_64__)
#define SIXTEEN_VECTOR_REGISTERS                                                             \
    "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", \
        "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
#endif

void clear_vector_registers() noexcept {
#if defined(__x86_64__)
    // The 8-lane engine's registers beyond the sixteen; code built without
    // AVX-512, as this is, never holds a value in them.
    if (__builtin_cpu_supports("avx512f")) {
        asm volatile(
            "vpxord %zmm16, %zmm16, %zmm16\n vpxord %zmm17, %zmm17, %zmm17\n"
            "vpxord %zmm18, %zmm18, %zmm18\n vpxord %zmm19, %zmm19, %zmm19\n"
            "vpxord %zmm20, %zmm20, %zmm20\n vpxord %zmm21, %zmm21, %zmm21\n"
            "vpxord %zmm22, %zmm22, %zmm22\n vpxord %zmm23, %zmm23, %zmm23\n"
            "vpxord %zmm24, %zmm24, %zmm24\n vpxord %zmm25, %zmm25, %zmm25\n"
            "vpxord %zmm26, %zmm26, %zmm26\n vpxord %zmm27, %zmm27, %zmm27\n"
            "vpxord %zmm28, %zmm28, %zmm28\n vpxord %zmm29, %zmm29, %zmm29\n"
            "vpxord %zmm30, %zmm30, %zmm30\n vpxord %zmm31, %zmm31, %zmm31");
    }
    if (__builtin_cpu_supports("avx")) {
        asm volatile("vzeroall" ::: SIXTEEN_VECTOR_REGISTERS);
        return;
    }
    asm volatile(
        "pxor %%xmm0, %%xmm0\n pxor %%xmm1, %%xmm1\n pxor %%xmm2, %%xmm2\n"
        "pxor %%xmm3, %%xmm3\n pxor %%xmm4, %%xmm4\n pxor %%xmm5, %%xmm5\n"
        "pxor %%xmm6, %%xmm6\n pxor %%xmm7, %%xmm7\n pxor %%xmm8, %%xmm8\n"
        "pxor %%xmm9, %%xmm9\n pxor %%xmm10, %%xmm10\n pxor %%xmm11, %%xmm11\n"
        "pxor %%xmm12, %%xmm12\n pxor %%xmm13, %%xmm13\n pxor %%xmm14, %%xmm14\n"
        "pxor %%xmm15, %%xmm15" ::
            : SIXTEEN_VECTOR_REGISTERS);
#endif
}

}  // namespace

// Not inlined: its frame, and the area it allocates, must lie below the
// caller's. The area is a real allocation rather than memory past the stack
// pointer, which the calls made here would overwrite while in use.
__attribute__((noinline)) void wipe_stack_below(std::size_t bytes) noexcept {
    ThreadStack& stack = this_stack;
    if (!stack.looked_up) look_up(stack);
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // Outside the thread's own stack (a coroutine's, say) its end is unknown.
    if (here > stack.ceiling || here < stack.floor + STACK_RESERVE) return;
    bytes = std::min<std::size_t>(bytes, here - stack.floor - STACK_RESERVE);
    void* area = alloca(bytes);
    wipe_bytes(area, bytes);
    asm volatile("" : : "r"(area) : "memory");  // the area stays in use up to here
    clear_vector_registers();
}

}  // namespace hecrypt
