// The 8-lane IFMA Montgomery product and square next to the portable
// product modulo the same modulus, per lane, so the gain reads off one run.
// Sizes: p^2 of 1024-bit primes (k = 40) and of 1536-bit ones (k = 60),
// n^2 of 2048-bit (k = 79), 3072-bit (k = 119) and 4096-bit (k = 158) keys.
// The kernels run on all eight lanes and on four (the 256-bit form), and
// decryption's power, p^2's width with an exponent of half its length, on
// both too.
#include <benchmark/benchmark.h>

#include <map>

#include "core/engine/ifma/convert.hpp"
#include "core/engine/ifma/pow8.hpp"
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

enum class Kernel { Mul, Sqr, Pow };

template <Kernel K, LaneCount Lanes>
void BM_Ifma(benchmark::State& state) {
    if (!ifma_available()) {
        state.SkipWithError("this CPU lacks AVX-512 IFMA");
        return;
    }
    const auto bits = static_cast<unsigned>(state.range(0));
    const mpz_class& m = modulus(bits);
    const IfmaContext ctx(m);
    IfmaScratch scratch(ctx);
    gmp_randclass rng(gmp_randinit_default);
    Values8 xs;
    for (mpz_class& x : xs) x = rng.get_z_range(m);
    Lanes8 a = ifma_to_mont8(ctx, xs, scratch), out(ctx.width);
    const Lanes8 b = ctx.r_squared;
    ExponentWords8 e((bits / 2 + 63) / 64);
    for (DigitVector& word : e)
        for (std::uint64_t& lane : word.lane) lane = mpz_class(rng.get_z_bits(64)).get_ui();
    for (auto _ : state) {
        if constexpr (K == Kernel::Sqr) {
            ifma_mont_sqr8(ctx, a, a, scratch, Lanes);
        } else if constexpr (K == Kernel::Mul) {
            ifma_mont_mul8(ctx, a, b, a, scratch, Lanes);
        } else {
            ifma_pow8(ctx, a, e, bits / 2, out, scratch, Lanes);
        }
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(out.data());
    }
    per_lane(state, Lanes == LaneCount::Four ? 4 : IFMA_LANES);
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

void BM_IfmaMontMul8(benchmark::State& state) { BM_Ifma<Kernel::Mul, LaneCount::Eight>(state); }
void BM_IfmaMontSqr8(benchmark::State& state) { BM_Ifma<Kernel::Sqr, LaneCount::Eight>(state); }
void BM_IfmaMontMul4(benchmark::State& state) { BM_Ifma<Kernel::Mul, LaneCount::Four>(state); }
void BM_IfmaMontSqr4(benchmark::State& state) { BM_Ifma<Kernel::Sqr, LaneCount::Four>(state); }
void BM_IfmaPow8(benchmark::State& state) { BM_Ifma<Kernel::Pow, LaneCount::Eight>(state); }
void BM_IfmaPow4(benchmark::State& state) { BM_Ifma<Kernel::Pow, LaneCount::Four>(state); }

BENCHMARK(BM_IfmaMontMul8)->Arg(2048)->Arg(3072)->Arg(4096)->Arg(6144)->Arg(8192);
BENCHMARK(BM_IfmaMontSqr8)->Arg(2048)->Arg(3072)->Arg(4096)->Arg(6144)->Arg(8192);
BENCHMARK(BM_IfmaMontMul4)->Arg(2048)->Arg(3072);
BENCHMARK(BM_IfmaMontSqr4)->Arg(2048)->Arg(3072);
BENCHMARK(BM_IfmaPow8)->Arg(2048)->Arg(3072);
BENCHMARK(BM_IfmaPow4)->Arg(2048)->Arg(3072);
BENCHMARK(BM_PortableMontMul)->Arg(2048)->Arg(3072)->Arg(4096)->Arg(6144)->Arg(8192);

}  // namespace
}  // namespace hecrypt
