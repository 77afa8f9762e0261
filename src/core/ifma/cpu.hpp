// Whether this CPU runs the 8-lane kernels.
#pragma once

namespace hecrypt {

// True when the CPU has AVX-512F and AVX-512 IFMA and the operating system
// saves the 512-bit registers. Nothing compiled for those instructions may
// run unless this says so.
bool ifma_available();

}  // namespace hecrypt
