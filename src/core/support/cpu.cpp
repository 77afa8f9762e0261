#include "core/support/cpu.hpp"

namespace hecrypt {

// GCC's and clang's answers already include the OS check (XCR0) for the
// AVX-512 state, so a kernel cannot fault on a disabled register file.

bool avx2_available() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

bool avx512_available() {
    static const bool available = __builtin_cpu_supports("avx512f");
    return available;
}

bool ifma_available() {
    // The kernels' 256-bit forms need AVX-512VL, which every CPU with IFMA has.
    static const bool available = avx512_available() && __builtin_cpu_supports("avx512vl") &&
                                  __builtin_cpu_supports("avx512ifma");
    return available;
}

}  // namespace hecrypt
