// What this CPU can run: the one place that asks it. Code built for wider
// instructions is entered only when these say so, each choice made once at
// run time by an ordinary test and call (no ifunc resolvers, which run
// before the sanitizers' own set-up and crash a ThreadSanitizer build at load).
#pragma once

namespace hecrypt {

// The widest vectors plain loops may be compiled for: AVX-512F only where the
// operating system saves the 512-bit registers as well.
enum class VectorWidth { baseline, avx2, avx512 };
VectorWidth widest_vectors();

// True when the CPU has AVX-512F, AVX-512VL and AVX-512 IFMA. Nothing
// compiled for those instructions may run unless this says so; the engine's
// dispatch is the one place that asks.
bool ifma_available();

}  // namespace hecrypt
