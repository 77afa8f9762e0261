// Constant time in: the values loaded into lanes and read out of them.
#include "core/engine/ifma/lanes.hpp"

#include <gmp.h>

#include <algorithm>

#include "core/support/ct.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

static_assert(GMP_NUMB_BITS == 64, "the digit split works on 64-bit limbs without nail bits");

namespace {

std::size_t limbs_for_digits(std::size_t width) { return (IFMA_DIGIT_BITS * width + 63) / 64; }

// Calls put(i, digit i of x) for i < width. x is first copied into a
// zero-padded buffer one limb longer than the digits need, at the width the
// digits give, so neither the copy nor the split below depends on x's length
// (x may be secret); whether it fits is found by mask too.
template <class Put>
void split_digits(const mpz_class& x, std::size_t width, Put put) {
    const std::size_t bits = IFMA_DIGIT_BITS * width, count = limbs_for_digits(width);
    WipedLimbs limbs(count + 1);
    mp_limb_t excess = ct_copy_limbs(x, limbs.span().first(count));
    excess |= limbs.view()[bits / 64] >> (bits % 64);                     // bits past the top digit
    excess |= static_cast<std::uint32_t>(x.get_mpz_t()->_mp_size) >> 31;  // x < 0
    ensure(ct_reveal(excess) == 0, "not enough capacity");
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t bit = IFMA_DIGIT_BITS * i, q = bit / 64, shift = bit % 64;
        std::uint64_t digit = limbs.view()[q] >> shift;
        // A digit starting past bit 12 of its limb runs into the next one.
        if (shift > 64 - IFMA_DIGIT_BITS) digit |= limbs.view()[q + 1] << (64 - shift);
        put(i, digit & IFMA_DIGIT_MASK);
    }
}

}  // namespace

void write_lane(LaneSpan v, std::size_t lane, const mpz_class& x) {
    ensure(lane < IFMA_LANES, "no such lane");
    split_digits(x, v.size(), [&](std::size_t i, std::uint64_t digit) { v[i].lane[lane] = digit; });
}

std::vector<std::uint64_t> digits_of(const mpz_class& x, std::size_t width) {
    std::vector<std::uint64_t> digits(width);
    split_digits(x, width, [&](std::size_t i, std::uint64_t digit) { digits[i] = digit; });
    return digits;
}

mpz_class read_lane(LaneView v, std::size_t lane) {
    ensure(lane < IFMA_LANES, "no such lane");
    ensure(!v.empty(), "a number has at least one digit");
    const std::size_t count = limbs_for_digits(v.size());
    mpz_class x;
    mp_limb_t* limbs = mpz_limbs_write(x.get_mpz_t(), static_cast<mp_size_t>(count));
    // Digits enter a 128-bit window at its fill level; every full limb leaves.
    unsigned __int128 window = 0;
    unsigned fill = 0;
    std::size_t j = 0;
    for (const DigitVector& d : v) {
        window |= static_cast<unsigned __int128>(d.lane[lane]) << fill;
        fill += IFMA_DIGIT_BITS;
        if (fill >= 64) {
            limbs[j++] = static_cast<mp_limb_t>(window);
            window >>= 64;
            fill -= 64;
        }
    }
    if (j < count) limbs[j] = static_cast<mp_limb_t>(window);
    ct_limbs_finish(x.get_mpz_t(), count);
    return x;
}

Lanes8 broadcast_digits(std::span<const std::uint64_t> digits) {
    Lanes8 v(digits.size());
    for (std::size_t i = 0; i < digits.size(); ++i) std::fill_n(v[i].lane, IFMA_LANES, digits[i]);
    return v;
}

}  // namespace hecrypt
