// The kernels with their secrets tainted. GMP and the portable engine run on
// public values only: they build the contexts and the table and compute the
// expected results; the secret operands enter as lanes, or as limbs through
// write_lane, and the results are made public again only after the kernel
// has returned, to be compared.
//
// A new kernel on lanes in [0, 2m) is one more LANE_KERNELS entry; any other
// is one more function in CHECKS that taints its secrets with make_secret,
// runs it, makes the results public and compares them with GMP's.
#include <sanitizer/msan_interface.h>

#include <algorithm>
#include <cstdio>

#include "core/engine/ifma/fixed8.hpp"
#include "core/engine/ifma/pow8.hpp"
#include "core/engine/portable/fast.hpp"
#include "harness.hpp"

namespace hecrypt::ct_ifma {

namespace {

// One to six digits walk every edge of the kernels' blocks of four rows;
// 4096 bits is n^2 of a 2048-bit key, 79 digits.
constexpr std::size_t MODULUS_BITS[] = {50, 100, 150, 200, 300, 4096};

// A kernel on operands in [0, 2m), and its result mod m.
struct LaneKernel {
    const char* name;
    void (*run)(const IfmaContext& ctx, LaneView x, LaneView y, LaneSpan out, IfmaScratch& s);
    mpz_class (*expected)(const Modulus& mod, const mpz_class& x, const mpz_class& y);
    bool reduced;  // the result is below m, not only below 2m
};

const LaneKernel LANE_KERNELS[] = {
    {"ifma_mont_mul8",
     [](const IfmaContext& ctx, LaneView x, LaneView y, LaneSpan out, IfmaScratch& s) {
         ifma_mont_mul8(ctx, x, y, out, s);
     },
     [](const Modulus& mod, const mpz_class& x, const mpz_class& y) -> mpz_class {
         return x * y * mod.r_inverse % mod.m;
     },
     false},
    {"ifma_mont_sqr8",
     [](const IfmaContext& ctx, LaneView x, LaneView, LaneSpan out, IfmaScratch& s) {
         ifma_mont_sqr8(ctx, x, out, s);
     },
     [](const Modulus& mod, const mpz_class& x, const mpz_class&) -> mpz_class {
         return x * x * mod.r_inverse % mod.m;
     },
     false},
    {"ifma_reduce8",
     [](const IfmaContext& ctx, LaneView x, LaneView, LaneSpan out, IfmaScratch& s) {
         std::ranges::copy(x, out.begin());
         ifma_reduce8(ctx, out, s);
     },
     [](const Modulus& mod, const mpz_class& x, const mpz_class&) -> mpz_class {
         return x % mod.m;
     },
     true},
};

void check_lane_kernel(const LaneKernel& kernel, Modulus& mod, bool secret_modulus) {
    const mpz_class bound = 2 * mod.m;
    const Values8 xs = sample_values(mod, bound), ys = sample_values(mod, bound);
    Lanes8 x = lanes_of(mod.ctx, xs), y = lanes_of(mod.ctx, ys), out(mod.ctx.width);
    IfmaScratch scratch(mod.ctx);
    make_secret(x);
    make_secret(y);
    if (secret_modulus) make_secret(mod.ctx);
    kernel.run(mod.ctx, x, y, out, scratch);
    make_public(mod.ctx);
    make_public(out);
    const mpz_class& limit = kernel.reduced ? mod.m : bound;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        const mpz_class got = read_lane(out, l);
        expect(got < limit && got % mod.m == kernel.expected(mod, xs[l], ys[l]), kernel.name,
               mod.bits);
    }
}

// Secret values in through write_lane and ifma_to_mont8, and out again
// through ifma_from_mont8 and read_lane.
void check_conversions(Modulus& mod, bool secret_modulus) {
    IfmaScratch scratch(mod.ctx);
    const Values8 xs = sample_values(mod, mod.m);
    Values8 secrets = xs;
    for (const mpz_class& x : secrets) make_secret(x);
    if (secret_modulus) make_secret(mod.ctx);
    Lanes8 mont = ifma_to_mont8(mod.ctx, secrets, scratch);
    const Values8 back = ifma_from_mont8(mod.ctx, mont, scratch);
    make_public(mod.ctx);
    make_public(mont);
    const mpz_class r = (mpz_class(1) << (IFMA_DIGIT_BITS * mod.ctx.width)) % mod.m;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        make_public(back[l]);
        const mpz_class got = read_lane(mont, l);
        expect(got < 2 * mod.m && got % mod.m == xs[l] * r % mod.m, "ifma_to_mont8", mod.bits);
        expect(back[l] == xs[l], "ifma_from_mont8", mod.bits);
    }
}

// Eight random exponents of different lengths, the last empty, made into
// digits from their secret bytes by exponent_digits, as an encryption does.
void check_pow_fixed8() {
    constexpr std::size_t BYTES = 32;
    Modulus mod(4096);
    const mpz_class base = random_below(mod.m);
    const std::size_t windows = (8 * BYTES + WINDOW_BITS - 1) / WINDOW_BITS;
    const IfmaFixedBaseTable table = build_table8(build_table(base, mod.m, windows), mod.m);
    Digits8 digits;
    Values8 expected;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        Bytes e(BYTES * (IFMA_LANES - 1 - l) / (IFMA_LANES - 1));
        for (std::uint8_t& byte : e) byte = static_cast<std::uint8_t>(random_below(256).get_ui());
        mpz_powm(expected[l].get_mpz_t(), base.get_mpz_t(), from_bytes_be(e).get_mpz_t(),
                 mod.m.get_mpz_t());
        __msan_poison(e.data(), e.size());
        digits[l] = exponent_digits(e);
    }
    const Values8 got = pow_fixed8(table, digits);
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        make_public(got[l]);
        expect(got[l] == expected[l], "pow_fixed8", mod.bits);
    }
    std::fprintf(stderr, "ct_ifma: pow_fixed8, %zu exponents of up to %zu bytes\n", IFMA_LANES,
                 BYTES);
}

// ifma_pow_values8, and so ifma_pow8, with secret bases below their lanes'
// moduli and secret exponents of `bits` bits, the moduli secret too if
// `secret_moduli`, on all lanes or on the first four.
void check_pow(const Values8& moduli, std::size_t bits, bool secret_moduli,
               LaneCount lanes = LaneCount::Eight) {
    IfmaContext ctx(moduli);
    const Values8 es = sample_exponents(bits);
    Values8 bases;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) bases[l] = random_below(moduli[l]);
    Values8 secrets = bases;
    for (const mpz_class& x : secrets) make_secret(x);
    if (secret_moduli) make_secret(ctx);
    const Values8 got = ifma_pow_values8(ctx, secrets, secret_words(es, bits), bits, lanes);
    make_public(ctx);
    for (std::size_t l = 0; l < (lanes == LaneCount::Four ? 4 : IFMA_LANES); ++l) {
        make_public(got[l]);
        mpz_class want;
        mpz_powm(want.get_mpz_t(), bases[l].get_mpz_t(), es[l].get_mpz_t(), moduli[l].get_mpz_t());
        expect(got[l] == want, "ifma_pow_values8", bit_length(moduli[l]));
    }
}

// The powers of a 2048-bit key at their own widths: decryption's, with
// exponents of 1024 bits (p - 1 and q - 1 in use) modulo p^2 and q^2 in
// alternate lanes, the moduli secret, on all lanes and on four (one or two
// ciphertexts); and the products' by secret scalars, with exponents of 66
// bits (k + 3 2^64) modulo n^2 of 4096 bits, public.
void check_pow8() {
    const mpz_class p = random_odd(1024), q = random_odd(1024);
    Values8 squares;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) squares[l] = l % 2 == 0 ? p * p : q * q;
    check_pow(squares, 1024, true);
    check_pow(squares, 1024, true, LaneCount::Four);
    Values8 n_squared;
    n_squared.fill(random_odd(4096));
    check_pow(n_squared, 66, false);
    std::fprintf(stderr,
                 "ct_ifma: ifma_pow_values8, 1024-bit exponents modulo secret p^2 and q^2 in "
                 "alternate lanes (eight and four of them), 66-bit ones modulo a 4096-bit n^2\n");
}

// Every lane kernel and the conversions at every width, under a public
// modulus and under a secret one, as decryption's p^2 and q^2 are.
void check_widths() {
    for (std::size_t bits : MODULUS_BITS) {
        Modulus mod(bits);
        for (bool secret_modulus : {false, true}) {
            for (const LaneKernel& kernel : LANE_KERNELS)
                check_lane_kernel(kernel, mod, secret_modulus);
            check_conversions(mod, secret_modulus);
        }
    }
    std::fprintf(stderr,
                 "ct_ifma: %zu lane kernels and the conversions, %zu widths, public and secret "
                 "moduli\n",
                 std::size(LANE_KERNELS), std::size(MODULUS_BITS));
}

constexpr Check CHECKS[] = {check_widths, check_pow_fixed8, check_pow8};

}  // namespace

std::span<const Check> checks() { return CHECKS; }

}  // namespace hecrypt::ct_ifma
