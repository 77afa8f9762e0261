#include "core/engine/ifma/cpu.hpp"

#include <cstdlib>
#include <string_view>

namespace hecrypt {

bool ifma_available() {
    // GCC's and clang's answers already include the OS check (XCR0) for
    // the AVX-512 state, so a kernel cannot fault on a disabled register file.
    static const bool available = __builtin_cpu_supports("avx512f") &&
                                  __builtin_cpu_supports("avx512vl") &&
                                  __builtin_cpu_supports("avx512ifma");
    return available;
}

bool use_ifma() {
    static const bool use = [] {
        const char* portable = std::getenv("HECRYPT_PORTABLE");
        return ifma_available() && !(portable != nullptr && std::string_view(portable) == "1");
    }();
    return use;
}

}  // namespace hecrypt
