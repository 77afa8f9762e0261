// The engines a test can run on this CPU: the portable one always, the
// 8-lane one where the CPU has AVX-512 IFMA.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/engine/dispatch.hpp"
#include "core/support/cpu.hpp"

// Ends a test that needs the 8-lane kernels on a CPU that cannot run them.
#define HECRYPT_SKIP_WITHOUT_IFMA() \
    if (!::hecrypt::ifma_available()) GTEST_SKIP() << "this CPU lacks AVX-512 IFMA"

namespace hecrypt::testing {

inline std::vector<EngineChoice> available_engines() {
    std::vector<EngineChoice> out{EngineChoice::portable};
    if (ifma_available()) out.push_back(EngineChoice::ifma);
    return out;
}

inline std::string engine_name(EngineChoice choice) {
    return choice == EngineChoice::ifma ? "Lanes8" : "Portable";
}

}  // namespace hecrypt::testing
