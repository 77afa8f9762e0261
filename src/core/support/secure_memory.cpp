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
}

}  // namespace hecrypt
