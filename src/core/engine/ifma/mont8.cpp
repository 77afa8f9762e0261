// Constant time in: every lane's operands and modulus.
#include "core/engine/ifma/mont8.hpp"

#include <algorithm>

#include "core/engine/ifma/simd.hpp"
#include "core/support/cpu.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

namespace {

// Every kernel below is a template on the register width S of simd.hpp.

template <class S>
using V = typename S::Vec;

// Column c of a block of R rows, row r being x_r y[0, n) shifted r digits:
// the low 52 bits of x_r y_j go to column r + j, the high ones to column
// r + j + 1. Each column word takes at most 4k + 2 terms below 2^52 over a
// whole product, under 2^64 for every width the context allows. Edge
// columns test which terms exist; the bounds are widths, never values.
template <class S, std::size_t R, bool Edge>
IFMA_TARGET inline void add_column(DigitVector* col, const V<S> (&x)[R], const DigitVector* y,
                                   std::size_t n, std::size_t c) {
    V<S> acc = S::load(col[c]);
    for (std::size_t r = 0; r < R; ++r) {
        const std::size_t j = c - r;  // wraps past n when r > c
        if (!Edge || j < n) acc = S::madd_lo(acc, x[r], S::load(y[j]));
        if (!Edge || j - 1 < n) acc = S::madd_hi(acc, x[r], S::load(y[j - 1]));
    }
    S::store(col[c], acc);
}

// Columns [begin, end) with R <= begin and end <= n, where every term
// exists. The R + 1 digits of y a column needs slide through registers, so
// a column costs one load of y, one load and one store of the column, and
// 2R products: the multipliers, not the memory, set the pace.
template <class S, std::size_t R>
IFMA_TARGET inline void add_inner_columns(DigitVector* col, const V<S> (&x)[R],
                                          const DigitVector* y, std::size_t begin,
                                          std::size_t end) {
    if (begin >= end) return;
    V<S> window[R + 1];  // window[t] = y_(c - t)
    for (std::size_t t = 1; t <= R; ++t) window[t] = S::load(y[begin - t]);
    for (std::size_t c = begin; c < end; ++c) {
        window[0] = S::load(y[c]);
        V<S> acc = S::load(col[c]);
        for (std::size_t r = 0; r < R; ++r) {
            acc = S::madd_lo(acc, x[r], window[r]);
            acc = S::madd_hi(acc, x[r], window[r + 1]);
        }
        S::store(col[c], acc);
        for (std::size_t t = R; t > 0; --t) window[t] = window[t - 1];
    }
}

// Columns [from, n + R) of the block.
template <class S, std::size_t R>
IFMA_TARGET void add_block(DigitVector* col, const V<S> (&x)[R], const DigitVector* y,
                           std::size_t n, std::size_t from = 0) {
    std::size_t c = from;
    for (; c < R; ++c) add_column<S, R, true>(col, x, y, n, c);
    add_inner_columns<S>(col, x, y, c, n);
    for (c = std::max(c, n); c < n + R; ++c) add_column<S, R, true>(col, x, y, n, c);
}

// Rows per block: 8 products per column load and store. Two to four rows
// ran alike on the machine this was tuned on; more spill registers.
constexpr std::size_t ROWS = 4;

template <class S>
IFMA_TARGET void clear(DigitVector* col, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) S::store(col[c], S::zero());
}

template <class S, std::size_t R>
IFMA_TARGET void rows_of(const DigitVector* a, V<S> (&x)[R]) {
    for (std::size_t r = 0; r < R; ++r) x[r] = S::load(a[r]);
}

// col[0, 2k) = a b, schoolbook, ROWS rows of a at a time.
template <class S>
IFMA_TARGET void multiply(DigitVector* col, const DigitVector* a, const DigitVector* b,
                          std::size_t k) {
    clear<S>(col, 2 * k);
    std::size_t i = 0;
    for (V<S> x[ROWS]; i + ROWS <= k; i += ROWS) {
        rows_of<S>(a + i, x);
        add_block<S>(col + i, x, b, k);
    }
    for (V<S> x[1]; i < k; ++i) {
        rows_of<S>(a + i, x);
        add_block<S>(col + i, x, b, k);
    }
}

// Columns [0, 2R) of a block of R rows starting at column 2i, finished in
// registers: the products x_r x_s, r < s, added, the sum doubled and the
// squares x_r^2 added. Products of rows past the block start at column
// 2i + 2R or later, so by the time the block's other products are in, these
// columns hold every a_r a_s, r < s, they will ever get.
template <class S, std::size_t R>
IFMA_TARGET void square_diagonal(DigitVector* col, const V<S> (&x)[R]) {
    V<S> c[2 * R];
    for (std::size_t t = 0; t < 2 * R; ++t) c[t] = S::load(col[t]);
    for (std::size_t r = 0; r < R; ++r) {
        for (std::size_t s = r + 1; s < R; ++s) {
            c[r + s] = S::madd_lo(c[r + s], x[r], x[s]);
            c[r + s + 1] = S::madd_hi(c[r + s + 1], x[r], x[s]);
        }
    }
    for (std::size_t r = 0; r < R; ++r) {
        c[2 * r] = S::madd_lo(S::shift_left(c[2 * r], 1), x[r], x[r]);
        c[2 * r + 1] = S::madd_hi(S::shift_left(c[2 * r + 1], 1), x[r], x[r]);
    }
    for (std::size_t t = 0; t < 2 * R; ++t) S::store(col[t], c[t]);
}

// The products of the rows [i, i + R): with the later rows, j >= i + R, as
// one block, then those inside the block and the squares.
template <class S, std::size_t R>
IFMA_TARGET void square_block(DigitVector* col, const DigitVector* a, std::size_t k,
                              std::size_t i) {
    V<S> x[R];
    rows_of<S>(a + i, x);
    add_block<S>(col + 2 * i + R, x, a + i + R, k - i - R);
    square_diagonal<S>(col + 2 * i, x);
}

// col[0, 2k) = a^2: each product a_i a_j with i < j once, doubled, and the
// squares a_i^2, block by block.
template <class S>
IFMA_TARGET void square(DigitVector* col, const DigitVector* a, std::size_t k) {
    clear<S>(col, 2 * k);
    std::size_t i = 0;
    for (; i + ROWS <= k; i += ROWS) square_block<S, ROWS>(col, a, k, i);
    for (; i < k; ++i) square_block<S, 1>(col, a, k, i);
}

// Montgomery steps i to i + R - 1, on the block's columns [i, i + R] held
// in registers. u_r makes column i + r a multiple of 2^52: for that
// column's sum c, c + lo(u_r m_0) is c rounded up to a multiple of 2^52, so
// its carry into the next column is (c + 2^52 - 1) >> 52 (no overflow: c
// is below (4k + 3) 2^52), known without u_r, and the product u_r m_0
// itself is never added (the column is dropped). From one u to the next the
// chain is then one product into the next column and one addition. The
// products of the u_r with the digits of m that land beyond the block are
// added as one block.
template <class S, std::size_t R>
IFMA_TARGET void reduce_block(const IfmaContext& ctx, DigitVector* col) {
    const DigitVector* m = ctx.modulus.data();
    const V<S> neg_inv = S::load(ctx.neg_inv), round_up = S::set1(IFMA_DIGIT_MASK);
    V<S> c[R + 1], u[R];
    for (std::size_t r = 0; r <= R; ++r) c[r] = S::load(col[r]);
    for (std::size_t r = 0; r < R; ++r) {
        u[r] = S::madd_lo(S::zero(), c[r], neg_inv);
        const V<S> carry = S::shift_right(S::add(c[r], round_up), IFMA_DIGIT_BITS);
        for (std::size_t j = 2; r + j < R; ++j)
            c[r + j] = S::madd_lo(c[r + j], u[r], S::load(m[j]));
        for (std::size_t j = 1; r + j + 1 < R; ++j)
            c[r + j + 1] = S::madd_hi(c[r + j + 1], u[r], S::load(m[j]));
        if (r + 1 < R)
            c[r + 1] = S::add(S::madd_lo(c[r + 1], u[r], S::load(m[1])),
                              S::madd_hi(carry, u[r], S::load(m[0])));
        else
            c[R] = S::add(c[R], carry);
    }
    S::store(col[R], c[R]);
    add_block<S>(col, u, m, ctx.width, R);
}

// out = col[0, 2k) R^-1: word-serial Montgomery reduction on the column
// sums, then columns k to 2k - 1 normalised into digits. Their value is
// below 2m < R, so nothing carries out of the last.
template <class S>
IFMA_TARGET void reduce(const IfmaContext& ctx, DigitVector* col, DigitVector* out) {
    const std::size_t k = ctx.width;
    std::size_t i = 0;
    for (; i + ROWS <= k; i += ROWS) reduce_block<S, ROWS>(ctx, col + i);
    for (; i < k; ++i) reduce_block<S, 1>(ctx, col + i);
    const V<S> mask = S::set1(IFMA_DIGIT_MASK);
    V<S> carry = S::zero();
    for (std::size_t i = 0; i < k; ++i) {
        const V<S> t = S::add(S::load(col[k + i]), carry);
        S::store(out[i], S::bit_and(t, mask));
        carry = S::shift_right(t, IFMA_DIGIT_BITS);
    }
}

template <class S>
IFMA_TARGET void mont_mul8(const IfmaContext& ctx, const DigitVector* a, const DigitVector* b,
                           DigitVector* out, DigitVector* col) {
    multiply<S>(col, a, b, ctx.width);
    reduce<S>(ctx, col, out);
}

template <class S>
IFMA_TARGET void mont_sqr8(const IfmaContext& ctx, const DigitVector* a, DigitVector* out,
                           DigitVector* col) {
    square<S>(col, a, ctx.width);
    reduce<S>(ctx, col, out);
}

// a - m digit by digit into diff; a is kept in the lanes where that borrows
// (a < m), the difference taken in the others.
template <class S>
IFMA_TARGET void reduce8(const IfmaContext& ctx, DigitVector* a, DigitVector* diff) {
    const std::size_t k = ctx.width;
    const V<S> mask = S::set1(IFMA_DIGIT_MASK);
    V<S> borrow = S::zero();
    for (std::size_t i = 0; i < k; ++i) {
        const V<S> mi = S::load(ctx.modulus[i]);
        // Digits are below 2^52, so a negative difference shows in bit 63.
        const V<S> d = S::sub(S::sub(S::load(a[i]), mi), borrow);
        S::store(diff[i], S::bit_and(d, mask));
        borrow = S::shift_right(d, 63);
    }
    const __mmask8 take = S::equal(borrow, S::zero());
    for (std::size_t i = 0; i < k; ++i)
        S::store(a[i], S::select(take, S::load(a[i]), S::load(diff[i])));
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
                    IfmaScratch& scratch, LaneCount lanes) {
    check_operand(ctx, a, "left operand has the wrong width");
    check_operand(ctx, b, "right operand has the wrong width");
    check_operand(ctx, out, "output has the wrong width");
    check_call(ctx, scratch);
    at_width(lanes, [&]<class S>() {
        mont_mul8<S>(ctx, a.data(), b.data(), out.data(), scratch.columns.data());
    });
}

void ifma_mont_sqr8(const IfmaContext& ctx, LaneView a, LaneSpan out, IfmaScratch& scratch,
                    LaneCount lanes) {
    check_operand(ctx, a, "operand has the wrong width");
    check_operand(ctx, out, "output has the wrong width");
    check_call(ctx, scratch);
    at_width(lanes,
             [&]<class S>() { mont_sqr8<S>(ctx, a.data(), out.data(), scratch.columns.data()); });
}

void ifma_reduce8(const IfmaContext& ctx, LaneSpan a, IfmaScratch& scratch, LaneCount lanes) {
    check_operand(ctx, a, "operand has the wrong width");
    check_call(ctx, scratch);
    at_width(lanes, [&]<class S>() { reduce8<S>(ctx, a.data(), scratch.columns.data()); });
}

}  // namespace hecrypt
