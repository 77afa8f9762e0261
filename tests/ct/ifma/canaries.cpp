// Deliberately variable-time variants of the kernels' steps, built like the
// kernels. A canary that runs unreported means the check is blind to that
// kind of leak, and scripts/ct-check-ifma fails. The borrow, carry and
// narrow canaries (the last a carry at the 256-bit width) leak only through
// a carry out of tainted bits, which MemorySanitizer alone does not follow
// (intrinsic_taint.hpp); the power canary only through the masks that
// select a power's table entries.
#include <immintrin.h>

#include "core/engine/ifma/simd.hpp"
#include "core/engine/portable/fast.hpp"
#include "harness.hpp"

namespace hecrypt::ct_ifma {

namespace {

using Vec = __m512i;

// The vectors of one digit position of a transposed window.
constexpr std::size_t POSITION_VECTORS = WINDOW_ENTRIES / IFMA_LANES;

IFMA_TARGET Vec load(const DigitVector& d) { return _mm512_load_si512(d.lane); }
IFMA_TARGET void store(DigitVector& d, Vec v) { _mm512_store_si512(d.lane, v); }

DigitVector secret_digits() {
    DigitVector digits;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) digits.lane[l] = 9 * l % WINDOW_ENTRIES;
    make_secret(std::span(&digits, 1));
    return digits;
}

// Each lane reads its entry of a transposed window at an address made from
// its digit: the access that select8's permutations avoid.
void canary_index() {
    constexpr std::size_t K = 3;
    Lanes8 window(POSITION_VECTORS * K), out(K);
    const DigitVector digits = secret_digits();
    announce_leak("index");
    for (std::size_t i = 0; i < K; ++i) {
        for (std::size_t l = 0; l < IFMA_LANES; ++l) {
            const std::uint64_t d = digits.lane[l];
            out[i].lane[l] = window[POSITION_VECTORS * i + d / IFMA_LANES].lane[d % IFMA_LANES];
        }
    }
    make_public(out);
}

// Each lane loads its entry of a power table laid out as ifma_pow8's, entry
// t at [t k, t k + k), at an address made from the top window of its 64-bit
// exponent word: the lookup that ifma_pow8's selection by mask avoids.
void canary_window() {
    constexpr unsigned W = 5;
    constexpr std::size_t K = 3;
    Lanes8 table((std::size_t{1} << W) * K), out(K);
    const ExponentWords8 e = secret_words(sample_exponents(64), 64);
    announce_leak("window");
    for (std::size_t i = 0; i < K; ++i) {
        for (std::size_t l = 0; l < IFMA_LANES; ++l)
            out[i].lane[l] = table[(e[0].lane[l] >> (64 - W)) * K + i].lane[l];
    }
    make_public(out);
}

// A branch on a power of a public base, modulo a public modulus, by a
// secret exponent. Only the comparisons and masked moves that select the
// table entries carry the exponent's taint into the power, so this is
// reported only if their rules keep it.
void canary_power() {
    constexpr std::size_t BITS = 66;
    Modulus mod(150);
    IfmaScratch scratch(mod.ctx);
    const Lanes8 base = lanes_of(mod.ctx, sample_values(mod, mod.m));
    Lanes8 power(mod.ctx.width);
    ifma_pow8(mod.ctx, base, secret_words(sample_exponents(BITS), BITS), BITS, power, scratch);
    announce_leak("power");
    if (power[0].lane[IFMA_LANES - 1] % 2 == 0) ifma_mont_sqr8(mod.ctx, power, power, scratch);
    make_public(power);
}

// A digit position where every lane's digit is 0 skips its product.
void canary_branch() {
    Modulus mod(150);
    IfmaScratch scratch(mod.ctx);
    Lanes8 acc = mod.ctx.one;
    const DigitVector digits = secret_digits();
    announce_leak("branch");
    for (std::uint64_t d : digits.lane) {
        if (d == 0) continue;
        ifma_mont_mul8(mod.ctx, acc, mod.ctx.r_squared, acc, scratch);
        break;
    }
    make_public(acc);
}

// The product's secret lanes, as ifma_mont_mul8 leaves them: below 2m, in
// digits masked to 52 bits.
Lanes8 secret_product(const Modulus& mod, IfmaScratch& scratch) {
    Lanes8 x = lanes_of(mod.ctx, sample_values(mod, 2 * mod.m));
    make_secret(x);
    ifma_mont_mul8(mod.ctx, x, x, x, scratch);
    return x;
}

// ifma_reduce8 with the final subtraction taken by a branch on each lane's
// borrow instead of a mask.
IFMA_TARGET void reduce_by_branch(const IfmaContext& ctx, LaneSpan a) {
    const Vec mask = _mm512_set1_epi64(static_cast<long long>(IFMA_DIGIT_MASK));
    Lanes8 diff(ctx.width);
    Vec borrow = _mm512_setzero_si512();
    for (std::size_t i = 0; i < ctx.width; ++i) {
        const Vec d = _mm512_sub_epi64(_mm512_sub_epi64(load(a[i]), load(ctx.modulus[i])), borrow);
        store(diff[i], _mm512_and_si512(d, mask));
        borrow = _mm512_maskz_srli_epi64(0xff, d, 63);
    }
    DigitVector borrows;
    store(borrows, borrow);
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        if (borrows.lane[l] != 0) continue;
        for (std::size_t i = 0; i < ctx.width; ++i) a[i].lane[l] = diff[i].lane[l];
    }
}

void canary_borrow() {
    Modulus mod(150);
    IfmaScratch scratch(mod.ctx);
    Lanes8 a = secret_product(mod, scratch);
    announce_leak("borrow");
    reduce_by_branch(mod.ctx, a);
    make_public(a);
}

// Each digit's square plus the carry from the one before, split into a
// digit and a carry, stopping as soon as no lane carries.
IFMA_TARGET void squares_until_no_carry(LaneView a, LaneSpan out) {
    const Vec mask = _mm512_set1_epi64(static_cast<long long>(IFMA_DIGIT_MASK));
    Vec carry = _mm512_setzero_si512();
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Vec ai = load(a[i]);
        const Vec column = _mm512_madd52hi_epu64(_mm512_madd52lo_epu64(carry, ai, ai), ai, ai);
        store(out[i], _mm512_and_si512(column, mask));
        carry = _mm512_maskz_srli_epi64(0xff, column, IFMA_DIGIT_BITS);
        if (_mm512_test_epi64_mask(carry, carry) == 0) break;
    }
}

void canary_carry() {
    Modulus mod(150);
    IfmaScratch scratch(mod.ctx);
    const Lanes8 a = secret_product(mod, scratch);
    Lanes8 out(mod.ctx.width);
    announce_leak("carry");
    squares_until_no_carry(a, out);
    make_public(out);
}

// The carry canary at the kernels' 256-bit width (Simd4), on lanes 0 to 3:
// the narrow multiply-adds must taint whole lanes as the wide ones do.
IFMA_TARGET void narrow_squares_until_no_carry(LaneView a, LaneSpan out) {
    using S = Simd4;
    const S::Vec mask = S::set1(IFMA_DIGIT_MASK);
    S::Vec carry = S::zero();
    for (std::size_t i = 0; i < a.size(); ++i) {
        const S::Vec ai = S::load(a[i]);
        const S::Vec column = S::madd_hi(S::madd_lo(carry, ai, ai), ai, ai);
        S::store(out[i], S::bit_and(column, mask));
        carry = S::shift_right(column, IFMA_DIGIT_BITS);
        if (_mm256_test_epi64_mask(carry, carry) == 0) break;
    }
}

void canary_narrow() {
    Modulus mod(150);
    IfmaScratch scratch(mod.ctx);
    const Lanes8 a = secret_product(mod, scratch);
    Lanes8 out(mod.ctx.width);
    announce_leak("narrow");
    narrow_squares_until_no_carry(a, out);
    make_public(out);
}

constexpr Canary CANARIES[] = {
    {"index", canary_index},     {"branch", canary_branch},       {"borrow", canary_borrow},
    {"carry", canary_carry},     {"narrow", canary_narrow},       {"window", canary_window},
    {"power", canary_power},     {"reduction", canary_reduction}, {"sign", canary_sign},
    {"loading", canary_loading},
};

}  // namespace

std::span<const Canary> canaries() { return CANARIES; }

}  // namespace hecrypt::ct_ifma
