// The 8-lane IFMA Montgomery product and square next to the portable
// product modulo the same modulus, per lane, so the gain reads off one run.
// Sizes: p^2 of 1024-bit primes (k = 40), n^2 of 2048-bit (k = 79),
// 3072-bit (k = 119) and 4096-bit (k = 158) keys.
#include <benchmark/benchmark.h>

#include <map>

#include "core/engine/ifma/convert.hpp"
#include "core/engine/portable/mont.hpp"
#include "core/support/cpu.hpp"

namespace hecrypt {
namespace {

const mpz_class& modulus(unsigned bits) {
    static std::map<unsigned, mpz_class> built;
    auto found = built.find(bits);
    if (found == built.end()) {
        gmp_randclass rng(gmp_randinit_default);
        rng.seed(bits);
        const mpz_class root = rng.get_z_bits(bits / 2) | (mpz_class(1) << (bits / 2 - 1)) | 1;
        found = built.emplace(bits, root * root).first;
    }
    return found->second;
}

// Time per lane, the unit the two engines share.
void per_lane(benchmark::State& state, double lanes) {
    state.counters["per_lane"] = benchmark::Counter(
        lanes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <bool Square>
void BM_Ifma(benchmark::State& state) {
    if (!ifma_available()) {
        state.SkipWithError("this CPU lacks AVX-512 IFMA");
        return;
    }
    const mpz_class& m = modulus(static_cast<unsigned>(state.range(0)));
    const IfmaContext ctx(m);
    IfmaScratch scratch(ctx);
    gmp_randclass rng(gmp_randinit_default);
    Values8 xs;
    for (mpz_class& x : xs) x = rng.get_z_range(m);
    Lanes8 a = ifma_to_mont8(ctx, xs, scratch);
    const Lanes8 b = ctx.r_squared;
    for (auto _ : state) {
        if constexpr (Square) {
            ifma_mont_sqr8(ctx, a, a, scratch);
        } else {
            ifma_mont_mul8(ctx, a, b, a, scratch);
        }
        benchmark::DoNotOptimize(a.data());
    }
    per_lane(state, IFMA_LANES);
}

void BM_PortableMontMul(benchmark::State& state) {
    const MontContext ctx(modulus(static_cast<unsigned>(state.range(0))));
    MontScratch scratch(ctx.width);
    Limbs a = ctx.r_squared, out(ctx.width);
    for (auto _ : state) {
        mont_mul(ctx, a, ctx.r_squared, out, scratch);
        a.swap(out);
        benchmark::DoNotOptimize(a.data());
    }
    per_lane(state, 1);
}

void BM_IfmaMontMul8(benchmark::State& state) { BM_Ifma<false>(state); }
void BM_IfmaMontSqr8(benchmark::State& state) { BM_Ifma<true>(state); }

BENCHMARK(BM_IfmaMontMul8)->Arg(2048)->Arg(4096)->Arg(6144)->Arg(8192);
BENCHMARK(BM_IfmaMontSqr8)->Arg(2048)->Arg(4096)->Arg(6144)->Arg(8192);
BENCHMARK(BM_PortableMontMul)->Arg(2048)->Arg(4096)->Arg(6144)->Arg(8192);

}  // namespace
}  // namespace hecrypt
