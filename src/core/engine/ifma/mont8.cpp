#include "core/engine/ifma/mont8.hpp"

#include <immintrin.h>

#include <algorithm>

#include "core/support/cpu.hpp"
#include "core/support/outcome.hpp"

// Only the functions carrying this attribute contain AVX-512 instructions;
// the rest of the file, and every inline function it instantiates, is
// compiled for the baseline CPU, so nothing here can leak into code that
// runs without IFMA.
#define IFMA_TARGET __attribute__((target("avx512f,avx512ifma")))

namespace hecrypt {

namespace {

using Vec = __m512i;

IFMA_TARGET inline Vec load(const DigitVector& d) { return _mm512_load_si512(d.lane); }
IFMA_TARGET inline void store(DigitVector& d, Vec v) { _mm512_store_si512(d.lane, v); }

// Shifts in their zero-masked form: the plain ones start from an undefined
// register that GCC 12 reports as maybe uninitialised.
constexpr __mmask8 ALL_LANES = 0xff;
IFMA_TARGET inline Vec shift_right(Vec v, unsigned bits) {
    return _mm512_maskz_srli_epi64(ALL_LANES, v, bits);
}
IFMA_TARGET inline Vec shift_left(Vec v, unsigned bits) {
    return _mm512_maskz_slli_epi64(ALL_LANES, v, bits);
}

// Digit j of the right operand of a row: lane values, or the lanes' moduli.
IFMA_TARGET inline Vec digit(const DigitVector* y, std::size_t j) { return load(y[j]); }

// Column c of a block of R rows, row r being x_r y[0, n) shifted r digits:
// the low 52 bits of x_r y_j go to column r + j, the high ones to column
// r + j + 1. Each column word takes at most 4k + 2 terms below 2^52 over a
// whole product, under 2^64 for every width the context allows. Edge
// columns test which terms exist; the bounds are widths, never values.
template <std::size_t R, bool Edge, class Y>
IFMA_TARGET inline void add_column(DigitVector* col, const Vec (&x)[R], Y y, std::size_t n,
                                   std::size_t c) {
    Vec acc = load(col[c]);
    for (std::size_t r = 0; r < R; ++r) {
        const std::size_t j = c - r;  // wraps past n when r > c
        if (!Edge || j < n) acc = _mm512_madd52lo_epu64(acc, x[r], digit(y, j));
        if (!Edge || j - 1 < n) acc = _mm512_madd52hi_epu64(acc, x[r], digit(y, j - 1));
    }
    store(col[c], acc);
}

// Columns [begin, end) with R <= begin and end <= n, where every term
// exists. The R + 1 digits of y a column needs slide through registers, so
// a column costs one load of y, one load and one store of the column, and
// 2R products: the multipliers, not the memory, set the pace.
template <std::size_t R, class Y>
IFMA_TARGET inline void add_inner_columns(DigitVector* col, const Vec (&x)[R], Y y,
                                          std::size_t begin, std::size_t end) {
    if (begin >= end) return;
    Vec window[R + 1];  // window[t] = y_(c - t)
    for (std::size_t t = 1; t <= R; ++t) window[t] = digit(y, begin - t);
    for (std::size_t c = begin; c < end; ++c) {
        window[0] = digit(y, c);
        Vec acc = load(col[c]);
        for (std::size_t r = 0; r < R; ++r) {
            acc = _mm512_madd52lo_epu64(acc, x[r], window[r]);
            acc = _mm512_madd52hi_epu64(acc, x[r], window[r + 1]);
        }
        store(col[c], acc);
        for (std::size_t t = R; t > 0; --t) window[t] = window[t - 1];
    }
}

// Columns [from, n + R) of the block.
template <std::size_t R, class Y>
IFMA_TARGET void add_block(DigitVector* col, const Vec (&x)[R], Y y, std::size_t n,
                           std::size_t from = 0) {
    std::size_t c = from;
    for (; c < R; ++c) add_column<R, true>(col, x, y, n, c);
    add_inner_columns(col, x, y, c, n);
    for (c = std::max(c, n); c < n + R; ++c) add_column<R, true>(col, x, y, n, c);
}

// Rows per block: 8 products per column load and store. Two to four rows
// ran alike on the machine this was tuned on; more spill registers.
constexpr std::size_t ROWS = 4;

IFMA_TARGET void clear(DigitVector* col, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) store(col[c], _mm512_setzero_si512());
}

template <std::size_t R>
IFMA_TARGET void rows_of(const DigitVector* a, Vec (&x)[R]) {
    for (std::size_t r = 0; r < R; ++r) x[r] = load(a[r]);
}

// col[0, 2k) = a b, schoolbook, ROWS rows of a at a time.
IFMA_TARGET void multiply(DigitVector* col, const DigitVector* a, const DigitVector* b,
                          std::size_t k) {
    clear(col, 2 * k);
    std::size_t i = 0;
    for (Vec x[ROWS]; i + ROWS <= k; i += ROWS) {
        rows_of(a + i, x);
        add_block(col + i, x, b, k);
    }
    for (Vec x[1]; i < k; ++i) {
        rows_of(a + i, x);
        add_block(col + i, x, b, k);
    }
}

// Products x_r x_s, r < s, of the R rows of a block starting at column 2i:
// they land in its columns [1, 2R - 2), which stay in registers meanwhile.
template <std::size_t R>
IFMA_TARGET void square_triangle(DigitVector* col, const Vec (&x)[R]) {
    Vec c[2 * R - 1];
    for (std::size_t t = 1; t < 2 * R - 1; ++t) c[t] = load(col[t]);
    for (std::size_t r = 0; r < R; ++r) {
        for (std::size_t s = r + 1; s < R; ++s) {
            c[r + s] = _mm512_madd52lo_epu64(c[r + s], x[r], x[s]);
            c[r + s + 1] = _mm512_madd52hi_epu64(c[r + s + 1], x[r], x[s]);
        }
    }
    for (std::size_t t = 1; t < 2 * R - 1; ++t) store(col[t], c[t]);
}

// Products a_i a_j with i < j of the rows [i, i + R): those inside the
// block as a triangle, the rest, j >= i + R, as one block.
template <std::size_t R>
IFMA_TARGET void square_block(DigitVector* col, const DigitVector* a, std::size_t k,
                              std::size_t i) {
    Vec x[R];
    rows_of(a + i, x);
    if constexpr (R > 1) square_triangle(col + 2 * i, x);
    add_block(col + 2 * i + R, x, a + i + R, k - i - R);
}

// col[0, 2k) = a^2: each product a_i a_j with i < j once, then in one pass
// the sum doubled and the squares a_i^2 added on the diagonal.
IFMA_TARGET void square(DigitVector* col, const DigitVector* a, std::size_t k) {
    clear(col, 2 * k);
    std::size_t i = 0;
    for (; i + ROWS <= k; i += ROWS) square_block<ROWS>(col, a, k, i);
    for (; i < k; ++i) square_block<1>(col, a, k, i);
    for (std::size_t i = 0; i < k; ++i) {
        const Vec ai = load(a[i]);
        store(col[2 * i], _mm512_madd52lo_epu64(shift_left(load(col[2 * i]), 1), ai, ai));
        store(col[2 * i + 1],
              _mm512_madd52hi_epu64(shift_left(load(col[2 * i + 1]), 1), ai, ai));
    }
}

// Montgomery steps i to i + R - 1. Each u_r makes column i + r a multiple
// of 2^52 and depends on every earlier step, so the block first adds each
// u_r m only into its own columns [i, i + R), carrying what is left of
// column i + r into the next, and then adds all of them to the columns
// beyond as one block.
template <std::size_t R>
IFMA_TARGET void reduce_block(const IfmaContext& ctx, DigitVector* col) {
    const DigitVector* m = ctx.modulus.data();
    const Vec neg_inv = load(ctx.neg_inv);
    Vec u[R];
    for (std::size_t r = 0; r < R; ++r) {
        u[r] = _mm512_madd52lo_epu64(_mm512_setzero_si512(), load(col[r]), neg_inv);
        for (std::size_t j = 0; r + j < R; ++j) {
            store(col[r + j], _mm512_madd52lo_epu64(load(col[r + j]), u[r], digit(m, j)));
            if (r + j + 1 < R)
                store(col[r + j + 1],
                      _mm512_madd52hi_epu64(load(col[r + j + 1]), u[r], digit(m, j)));
        }
        const Vec carry = shift_right(load(col[r]), IFMA_DIGIT_BITS);
        store(col[r + 1], _mm512_add_epi64(load(col[r + 1]), carry));
    }
    add_block(col, u, m, ctx.width, R);
}

// out = col[0, 2k) R^-1: word-serial Montgomery reduction on the column
// sums, then columns k to 2k - 1 normalised into digits. Their value is
// below 2m < R, so nothing carries out of the last.
IFMA_TARGET void reduce(const IfmaContext& ctx, DigitVector* col, DigitVector* out) {
    const std::size_t k = ctx.width;
    std::size_t i = 0;
    for (; i + ROWS <= k; i += ROWS) reduce_block<ROWS>(ctx, col + i);
    for (; i < k; ++i) reduce_block<1>(ctx, col + i);
    const Vec mask = _mm512_set1_epi64(static_cast<long long>(IFMA_DIGIT_MASK));
    Vec carry = _mm512_setzero_si512();
    for (std::size_t i = 0; i < k; ++i) {
        const Vec t = _mm512_add_epi64(load(col[k + i]), carry);
        store(out[i], _mm512_and_si512(t, mask));
        carry = shift_right(t, IFMA_DIGIT_BITS);
    }
}

IFMA_TARGET void mont_mul8(const IfmaContext& ctx, const DigitVector* a, const DigitVector* b,
                           DigitVector* out, DigitVector* col) {
    multiply(col, a, b, ctx.width);
    reduce(ctx, col, out);
}

IFMA_TARGET void mont_sqr8(const IfmaContext& ctx, const DigitVector* a, DigitVector* out,
                           DigitVector* col) {
    square(col, a, ctx.width);
    reduce(ctx, col, out);
}

// a - m digit by digit into diff; a is kept in the lanes where that borrows
// (a < m), the difference taken in the others.
IFMA_TARGET void reduce8(const IfmaContext& ctx, DigitVector* a, DigitVector* diff) {
    const std::size_t k = ctx.width;
    const Vec mask = _mm512_set1_epi64(static_cast<long long>(IFMA_DIGIT_MASK));
    Vec borrow = _mm512_setzero_si512();
    for (std::size_t i = 0; i < k; ++i) {
        const Vec mi = load(ctx.modulus[i]);
        // Digits are below 2^52, so a negative difference shows in bit 63.
        const Vec d = _mm512_sub_epi64(_mm512_sub_epi64(load(a[i]), mi), borrow);
        store(diff[i], _mm512_and_si512(d, mask));
        borrow = shift_right(d, 63);
    }
    const __mmask8 take = _mm512_cmpeq_epi64_mask(borrow, _mm512_setzero_si512());
    for (std::size_t i = 0; i < k; ++i)
        store(a[i], _mm512_mask_blend_epi64(take, load(a[i]), load(diff[i])));
}

void check_operand(const IfmaContext& ctx, LaneView v, const char* what) {
    ensure(v.size() == ctx.width, what);
}

void check_call(const IfmaContext& ctx, const IfmaScratch& scratch) {
    ensure(ifma_available(), "the CPU lacks AVX-512 IFMA");
    ensure(scratch.columns.size() == 2 * ctx.width, "scratch has the wrong width");
}

}  // namespace

IfmaScratch::IfmaScratch(const IfmaContext& ctx) : columns(2 * ctx.width) {}

void ifma_mont_mul8(const IfmaContext& ctx, LaneView a, LaneView b, LaneSpan out,
                    IfmaScratch& scratch) {
    check_operand(ctx, a, "left operand has the wrong width");
    check_operand(ctx, b, "right operand has the wrong width");
    check_operand(ctx, out, "output has the wrong width");
    check_call(ctx, scratch);
    mont_mul8(ctx, a.data(), b.data(), out.data(), scratch.columns.data());
}

void ifma_mont_sqr8(const IfmaContext& ctx, LaneView a, LaneSpan out, IfmaScratch& scratch) {
    check_operand(ctx, a, "operand has the wrong width");
    check_operand(ctx, out, "output has the wrong width");
    check_call(ctx, scratch);
    mont_sqr8(ctx, a.data(), out.data(), scratch.columns.data());
}

void ifma_reduce8(const IfmaContext& ctx, LaneSpan a, IfmaScratch& scratch) {
    check_operand(ctx, a, "operand has the wrong width");
    check_call(ctx, scratch);
    reduce8(ctx, a.data(), scratch.columns.data());
}

}  // namespace hecrypt
