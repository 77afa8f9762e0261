// ct_ifma: the constant-time check of the code that touches a secret on this
// CPU's own AVX-512 IFMA units, which valgrind cannot run. scripts/ct-check-ifma
// builds it with MemorySanitizer, which reports every branch and every memory
// address computed from tainted memory.
//
// What it judges: clang 14's -O2 build of every core unit, on the paths the
// checks run. checks.cpp: the lane kernels and the conversions at six widths
// under public and secret moduli, pow_fixed8, and ifma_pow8 through
// ifma_pow_values8 at a 2048-bit key's two widths. units.cpp: decryption of a
// 2048-bit key through both engines with every secret field of the record
// tainted (the L function, the CRT and the signed lift; the engines' own
// copies of p^2, q^2 and the exponents are built before the taint and out of
// its reach); the products by secret scalars from the rounded double on (its
// conversion to limbs, the bound test's copy, the exponent words and both
// engines' secret_powers); and the portable window table with secret digits.
// Every conditional branch, every load or store address and every divisor
// computed from a secret is reported, after the optimiser's own rewriting,
// since the instrumentation comes last.
//
// GMP is not instrumented; gmp_model.cpp stands in for it: the
// side-channel-silent mpn functions pass a secret's taint on to what they
// write, and GMP's variable-time mpz functions report a secret operand.
//
// What it cannot judge:
// - GCC's build, the one that ships: the same source may compile otherwise.
//   (The valgrind check judges GCC's build, but of the portable engine.)
// - Code generation after the instrumentation: a select on a secret, which
//   is not reported, may still become a branch in the back end.
// - The instructions' own timing: vpmadd52, vpermi2q and the rest are taken
//   to run in the same time whatever their operands. Nor a secret dividend,
//   or a secret length given to memcpy or memset.
// - GMP's own code: the mpn functions it trusts are taken at GMP's word.
// - Scalar arithmetic keeps MemorySanitizer's bit-for-bit rule, so a carry
//   out of tainted bits into clean ones passes for public, as in
//   ct_limbs_finish's 0 - x on a partly filled top limb; only the kernels'
//   vector intrinsics taint whole lanes (intrinsic_taint.hpp).
// - What comes before a scalar is rounded: encode_value's finiteness tests
//   and the C library's round(), which is not instrumented either, run on
//   the caller's double; the check taints the rounded one. The refusals'
//   tests (ct_reveal) tell what their refusals tell anyway.
// - Paths not run: the faults of ensure(), and widths beyond those listed,
//   though the kernels' control flow depends on the widths alone (and
//   ifma_pow8's window, 3 and 5 bits here, on the exponent's width).
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
    for (const Check check : unit_checks()) check();
    return all_passed() ? 0 : 1;
}
