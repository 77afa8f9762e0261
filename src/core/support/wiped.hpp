// Buffers that zero themselves: the types every secret, and every value
// derived from one, lives in outside GMP's integers (whose blocks the GMP
// memory functions of secure_memory.hpp wipe).
//
// The zeroing belongs to the type, not to the code that uses it: a vector's
// old block when it grows, a buffer dropped by an exception (an interrupt at
// a checkpoint, a fault) and one that simply goes out of scope are all wiped
// the same way, so no path can forget to.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

#include "core/support/secure_memory.hpp"

namespace hecrypt {

// std::allocator whose blocks are zeroed before they are released. It
// honours over-aligned types as std::allocator does.
template <class T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* block, std::size_t n) noexcept {
        wipe_bytes(block, n * sizeof(T));
        std::allocator<T>{}.deallocate(block, n);
    }

    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

// The vector for lanes, digits, limbs and scratch.
template <class T>
using WipedVector = std::vector<T, WipingAllocator<T>>;

// One value of a plain type held in place (a member, a local), zeroed when
// its life ends. It reads as the value it holds.
template <class T>
class Wiped {
    static_assert(std::is_trivially_copyable_v<T>, "only plain values are wiped by their bytes");

  public:
    Wiped() : value_{} {}
    Wiped(const T& value) : value_(value) {}  // NOLINT: stands in for a T
    Wiped(const Wiped&) = default;
    Wiped& operator=(const Wiped&) = default;
    ~Wiped() { wipe_bytes(&value_, sizeof value_); }

    operator T&() { return value_; }              // NOLINT: reads as a T
    operator const T&() const { return value_; }  // NOLINT
    T& get() { return value_; }
    const T& get() const { return value_; }

  private:
    T value_;
};

}  // namespace hecrypt
