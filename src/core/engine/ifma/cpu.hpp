// Whether this CPU runs the 8-lane kernels.
#pragma once

namespace hecrypt {

// True when the CPU has AVX-512F, AVX-512VL (the kernels' 256-bit forms) and
// AVX-512 IFMA and the operating system saves the 512-bit registers. Nothing compiled for those
// instructions may run unless this says so.
bool ifma_available();

// Whether keys get the 8-lane engine: ifma_available(), unless the
// environment variable HECRYPT_PORTABLE is 1, which keeps every key on the
// portable engine so that the two can be compared on one machine. The
// environment is read once, at the first call.
bool use_ifma();

}  // namespace hecrypt
