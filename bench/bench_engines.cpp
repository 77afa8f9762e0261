// The engines at the usual key sizes, next to GMP's general modular
// exponentiation of an exponent of the same length modulo the same n^2, so
// the gain of the fixed-base table can be read off one run.
#include <benchmark/benchmark.h>

#include <map>

#include "core/engine/portable/fast.hpp"

namespace hecrypt {
namespace {

constexpr std::size_t EXPONENTS = 16;

struct Setup {
    mpz_class m, base;
    FixedBaseTable table;
    std::vector<Bytes> exponents;  // exponent_bits = n_bits / 2 each
};

Setup make_setup(unsigned n_bits) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(n_bits);
    const mpz_class n = rng.get_z_bits(n_bits) | (mpz_class(1) << (n_bits - 1)) | 1;
    const mpz_class m = n * n, base = rng.get_z_range(m);
    const std::size_t bytes = n_bits / 16;
    std::vector<Bytes> exponents(EXPONENTS, Bytes(bytes));
    for (Bytes& e : exponents) {
        for (auto& byte : e)
            byte = static_cast<std::uint8_t>(mpz_class(rng.get_z_bits(8)).get_ui());
    }
    return {m, base, build_table(base, m, (8 * bytes + 4) / 6), std::move(exponents)};
}

const Setup& setup(unsigned n_bits) {
    static std::map<unsigned, Setup> built;
    auto found = built.find(n_bits);
    if (found == built.end()) found = built.emplace(n_bits, make_setup(n_bits)).first;
    return found->second;
}

void BM_MontMul(benchmark::State& state) {
    const Setup& s = setup(static_cast<unsigned>(state.range(0)));
    const MontContext& ctx = s.table.context;
    MontScratch scratch(ctx.width);
    Limbs a = to_mont(ctx, s.base, scratch), out(ctx.width);
    for (auto _ : state) {
        mont_mul(ctx, a, ctx.r_squared, out, scratch);
        a.swap(out);
        benchmark::DoNotOptimize(a.data());
    }
}

void BM_PowFixed(benchmark::State& state) {
    const Setup& s = setup(static_cast<unsigned>(state.range(0)));
    std::vector<Digits> digits;
    for (const Bytes& e : s.exponents) digits.push_back(exponent_digits(e));
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(pow_fixed(s.table, digits[i++ % EXPONENTS]));
}

void BM_GmpPowm(benchmark::State& state) {
    const Setup& s = setup(static_cast<unsigned>(state.range(0)));
    std::vector<mpz_class> exponents;
    for (const Bytes& e : s.exponents) exponents.push_back(from_bytes_be(e));
    mpz_class r;
    std::size_t i = 0;
    for (auto _ : state) {
        mpz_powm(r.get_mpz_t(), s.base.get_mpz_t(), exponents[i++ % EXPONENTS].get_mpz_t(),
                 s.m.get_mpz_t());
        benchmark::DoNotOptimize(r.get_mpz_t());
    }
}

void BM_BuildTable(benchmark::State& state) {
    const Setup& s = setup(static_cast<unsigned>(state.range(0)));
    const std::size_t windows = s.table.windows.size();
    for (auto _ : state) benchmark::DoNotOptimize(build_table(s.base, s.m, windows));
}

BENCHMARK(BM_MontMul)->Arg(2048)->Arg(3072);
BENCHMARK(BM_PowFixed)->Arg(2048)->Arg(3072)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GmpPowm)->Arg(2048)->Arg(3072)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildTable)->Arg(2048)->Arg(3072)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace hecrypt
