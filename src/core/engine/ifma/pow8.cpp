// Constant time in: every lane's base, exponent and modulus.
#include "core/engine/ifma/pow8.hpp"

#include "core/engine/ifma/convert.hpp"
#include "core/engine/ifma/simd.hpp"
#include "core/support/cpu.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

namespace {

// Measured at decryption's widths (1024- and 1536-bit exponents modulo 2048-
// and 3072-bit moduli), 5 bits beat 6, whose fewer products are outweighed
// by reading twice the table at each selection, by 2 to 6%, and tie with 4.
constexpr unsigned MAX_WINDOW = 5;
constexpr std::size_t MAX_ENTRIES = std::size_t{1} << MAX_WINDOW;

// The window of fewest products for an exponent width: 2^w - 2 to build the
// table and one per window after the first. The width is public.
unsigned window_for(std::size_t bits) {
    unsigned best = 1;
    auto cost = [bits](unsigned w) { return (std::size_t{1} << w) - 2 + (bits + w - 1) / w; };
    for (unsigned w = 2; w <= MAX_WINDOW; ++w)
        if (cost(w) < cost(best)) best = w;
    return best;
}

// out = entry digits.lane[l] of lane l's table, lane by lane. Entry t of
// the `entries` holds table[t k, t k + k). Every entry is loaded; a lane
// keeps its own through a mask made by comparison, never through an index
// or a branch.
template <class S>
IFMA_TARGET void select_entry(const DigitVector* table, std::size_t entries,
                              const DigitVector& digits, DigitVector* out, std::size_t k) {
    const typename S::Vec d = S::load(digits);
    __mmask8 hit[MAX_ENTRIES];
    for (std::size_t t = 0; t < entries; ++t) hit[t] = S::equal(d, S::set1(t));
    for (std::size_t i = 0; i < k; ++i) {
        typename S::Vec v = S::zero();
        for (std::size_t t = 0; t < entries; ++t)
            v = S::select(hit[t], v, S::load(table[t * k + i]));
        S::store(out[i], v);
    }
}

// Bits [bit, bit + w) of every lane's exponent, zero past its words. The
// shifts and word positions come from `bit` and w alone.
DigitVector window_digits(const ExponentWords8& e, std::size_t bit, unsigned w) {
    const std::size_t word = bit / 64, shift = bit % 64;
    const bool spans = shift > 64 - w && word + 1 < e.size();
    DigitVector d;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        std::uint64_t bits = e[word].lane[l] >> shift;
        if (spans) bits |= e[word + 1].lane[l] << (64 - shift);
        d.lane[l] = bits & ((std::uint64_t{1} << w) - 1);
    }
    return d;
}

// The powers base^t, t < 2^w, in Montgomery form, and the evaluation's
// other buffers; all of it would give the exponents away, so all of it is of
// types that wipe themselves.
struct PowerWork {
    std::size_t k;
    unsigned w;
    LaneCount lanes;
    Lanes8 table, selected;
    Wiped<DigitVector> digits;

    PowerWork(const IfmaContext& ctx, LaneView base, unsigned window, LaneCount count,
              IfmaScratch& scratch)
        : k(ctx.width), w(window), lanes(count), table((std::size_t{1} << w) * k), selected(k) {
        std::ranges::copy(ctx.one, table.begin());
        std::ranges::copy(base, entry(1).begin());
        for (std::size_t t = 2; t < (std::size_t{1} << w); ++t) {
            if (t % 2 == 0)
                ifma_mont_sqr8(ctx, entry(t / 2), entry(t), scratch, lanes);
            else
                ifma_mont_mul8(ctx, entry(t - 1), base, entry(t), scratch, lanes);
        }
    }

    LaneSpan entry(std::size_t t) { return LaneSpan(table).subspan(t * k, k); }
    void select(const ExponentWords8& e, std::size_t bit, LaneSpan out) {
        digits = window_digits(e, bit, w);
        at_width(lanes, [&]<class S>() {
            select_entry<S>(table.data(), std::size_t{1} << w, digits, out.data(), k);
        });
    }
};

}  // namespace

void ifma_pow8(const IfmaContext& ctx, LaneView base, const ExponentWords8& exponents,
               std::size_t bits, LaneSpan out, IfmaScratch& scratch, LaneCount lanes) {
    ensure(ifma_available(), "the CPU lacks AVX-512 IFMA");
    ensure(base.size() == ctx.width && out.size() == ctx.width, "operand has the wrong width");
    ensure(bits > 0 && bits <= 64 * exponents.size(), "the exponent width does not fit its words");
    const unsigned w = window_for(bits);
    PowerWork work(ctx, base, w, lanes, scratch);
    std::size_t bit = (bits - 1) / w * w;  // the top window's lowest bit
    work.select(exponents, bit, out);
    while (bit > 0) {
        bit -= w;
        for (unsigned s = 0; s < w; ++s) ifma_mont_sqr8(ctx, out, out, scratch, lanes);
        work.select(exponents, bit, work.selected);
        ifma_mont_mul8(ctx, out, work.selected, out, scratch, lanes);
    }
}

Values8 ifma_pow_values8(const IfmaContext& ctx, const Values8& bases,
                         const ExponentWords8& exponents, std::size_t bits, LaneCount lanes) {
    IfmaScratch scratch(ctx);
    const Lanes8 base = ifma_to_mont8(ctx, bases, scratch);
    Lanes8 power(ctx.width);
    ifma_pow8(ctx, base, exponents, bits, power, scratch, lanes);
    return ifma_from_mont8(ctx, power, scratch);
}

}  // namespace hecrypt
