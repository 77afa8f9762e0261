// ct_ifma: the constant-time check of the 8-lane IFMA kernels, which
// valgrind cannot run. scripts/ct-check-ifma builds it with MemorySanitizer,
// which reports every branch and every memory address computed from tainted
// memory, and runs it on this CPU's own AVX-512 IFMA units.
//
// What it judges: clang 14's -O2 build of src/core/engine/ifma and of the core code
// the kernels call (read_lane's ct_limbs_finish, exponent_digits), on the
// paths checks.cpp runs: the lane kernels and the conversions at six widths
// under public and secret moduli, pow_fixed8, and ifma_pow8 through
// ifma_pow_values8 at a 2048-bit key's two widths, decryption's (secret p^2
// and q^2 in alternate lanes, 1024-bit exponents) and the secret scalars'
// (n^2 of 4096 bits, 66-bit exponents), with bases and exponent words
// tainted. Every conditional branch, every load or store address and every
// divisor computed from a secret is reported, after the optimiser's own
// rewriting, since the instrumentation comes last.
//
// What it cannot judge:
// - GCC's build, the one that ships: the same source may compile otherwise.
//   (The valgrind check judges GCC's build, but of the portable engine.)
// - Code generation after the instrumentation: a select on a secret, which
//   is not reported, may still become a branch in the back end.
// - The instructions' own timing: vpmadd52, vpermi2q and the rest are taken
//   to run in the same time whatever their operands. Nor a secret dividend,
//   or a secret length given to memcpy or memset.
// - Scalar arithmetic keeps MemorySanitizer's bit-for-bit rule, so a carry
//   out of tainted bits into clean ones passes for public, as in
//   ct_limbs_finish's 0 - x on a partly filled top limb; only the kernels'
//   vector intrinsics taint whole lanes (intrinsic_taint.hpp).
// - GMP and the C++ library are not instrumented. Secrets reach GMP only in
//   write_lane's length check (bit_length), which is therefore not judged.
// - Paths not run: the faults of ensure(), and widths beyond those listed,
//   though the kernels' control flow depends on the widths alone (and
//   ifma_pow8's window, 3 and 5 bits here, on the exponent's width).
// - The callers of ifma_pow8: how decryption
//   (src/core/engine/ifma/secret_engine.cpp) and the products by secret
//   scalars (src/core/engine/ifma/powers8.cpp) fill the lanes and
//   use the powers is not built here, and the valgrind check, whose CPU has
//   no AVX-512, runs their portable path instead.
//
// `ct_ifma` runs every check; `ct_ifma --canary NAME` runs one leak that must
// be reported. Exit status: 0 passed, 1 a wrong result, 2 usage, 3 this CPU
// lacks IFMA (nothing ran), 99 MemorySanitizer reported.
#include <sanitizer/allocator_interface.h>
#include <sanitizer/msan_interface.h>

#include <cstdio>
#include <cstring>

#include "core/support/cpu.hpp"
#include "harness.hpp"

// Nothing is tainted but what the checks mark. Fresh heap blocks are left
// clean, since GMP and the C++ library, not instrumented, fill them without
// touching the shadow; fresh stack slots are clean by -msan-poison-stack=0 in
// the build. A report ends the run.
extern "C" const char* __msan_default_options() {
    return "poison_in_malloc=0:poison_in_free=0:exitcode=99";
}

// A freed block forgets its taint, so that the next one carved from it starts
// clean. Called by the runtime, not instrumented itself.
extern "C" __attribute__((no_sanitize("memory"))) void __sanitizer_free_hook(
    const volatile void* block) {
    __msan_unpoison(block, __sanitizer_get_allocated_size(block));
}

namespace {

using namespace hecrypt::ct_ifma;

constexpr int NO_IFMA = 3;

int usage() {
    std::fprintf(stderr, "usage: ct_ifma [--canary NAME], NAME one of:");
    for (const Canary& canary : canaries()) std::fprintf(stderr, " %s", canary.name);
    std::fprintf(stderr, "\n");
    return 2;
}

int run_canary(const char* name) {
    for (const Canary& canary : canaries()) {
        if (std::strcmp(name, canary.name) != 0) continue;
        canary.run();
        std::fprintf(stderr, "ct_ifma: canary %s ran and was not reported\n", name);
        return 0;
    }
    return usage();
}

}  // namespace

int main(int argc, char** argv) {
    if (!hecrypt::ifma_available()) {
        std::fprintf(stderr,
                     "ct_ifma: this CPU lacks AVX-512 IFMA, so the 8-lane kernels cannot run "
                     "here and are not checked\n");
        return NO_IFMA;
    }
    if (argc == 3 && std::strcmp(argv[1], "--canary") == 0) return run_canary(argv[2]);
    if (argc != 1) return usage();
    for (const Check check : checks()) check();
    return all_passed() ? 0 : 1;
}
