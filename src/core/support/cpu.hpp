// What this CPU can run: the one place that asks it. Code built for wider
// instructions is entered only when these say so, each choice made once at
// run time by an ordinary test and call (no ifunc resolvers, which run
// before the sanitizers' own set-up and crash a ThreadSanitizer build at load).
#pragma once

namespace hecrypt {

// True when the CPU has AVX2.
bool avx2_available();

// True when the CPU has AVX-512F and the operating system saves the 512-bit
// registers.
bool avx512_available();

// True when, besides, the CPU has AVX-512 IFMA. Nothing compiled for those
// instructions may run unless this says so.
bool ifma_available();

}  // namespace hecrypt
