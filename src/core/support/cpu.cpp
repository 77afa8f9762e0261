#include "core/support/cpu.hpp"

namespace hecrypt {

// GCC's and clang's answers already include the OS check (XCR0) for the
// AVX-512 state, so a kernel cannot fault on a disabled register file.

VectorWidth widest_vectors() {
    static const VectorWidth widest = __builtin_cpu_supports("avx512f") ? VectorWidth::avx512
                                      : __builtin_cpu_supports("avx2")  ? VectorWidth::avx2
                                                                        : VectorWidth::baseline;
    return widest;
}

bool ifma_available() {
    // The kernels' 256-bit forms need AVX-512VL, which every CPU with IFMA has.
    static const bool available = widest_vectors() == VectorWidth::avx512 &&
                                  __builtin_cpu_supports("avx512vl") &&
                                  __builtin_cpu_supports("avx512ifma");
    return available;
}

}  // namespace hecrypt
