#include "karatsuba.hpp"

#include <algorithm>

namespace hecrypt {

namespace {

// Below this the basecase wins; it also keeps halves even down to 16 limbs
// for the widths of 2048-bit keys and 12 limbs for 3072-bit ones.
constexpr std::size_t SPLIT_FROM = 24;

bool splits(std::size_t n) { return n >= SPLIT_FROM && n % 2 == 0; }

mp_size_t size(std::size_t n) { return static_cast<mp_size_t>(n); }

// d = |x - y| for h-limb x and y; returns 1 when x < y. `spare` is h limbs.
mp_limb_t absolute_difference(mp_limb_t* d, const mp_limb_t* x, const mp_limb_t* y, std::size_t h,
                              mp_limb_t* spare) {
    const mp_limb_t negative = mpn_sub_n(d, x, y, size(h));
    mpn_sub_n(spare, y, x, size(h));
    mpn_cnd_swap(negative, d, spare, size(h));
    return negative;
}

}  // namespace

std::size_t ct_mul_scratch(std::size_t n) {
    if (!splits(n)) return static_cast<std::size_t>(mpn_sec_mul_itch(size(n), size(n)));
    const std::size_t h = n / 2;
    const auto add_itch = static_cast<std::size_t>(mpn_sec_add_1_itch(size(h)));
    return 4 * n + std::max(ct_mul_scratch(h), add_itch);
}

// a b = z2 B^2h + z1 B^h + z0 with z1 = z0 + z2 + (a0 - a1)(b1 - b0). The
// middle product is taken of the absolute differences, and its sign decides,
// by mask, whether it is added or subtracted.
void ct_mul(mp_limb_t* out, const mp_limb_t* a, const mp_limb_t* b, std::size_t n,
            mp_limb_t* scratch) {
    if (!splits(n)) return mpn_sec_mul(out, a, size(n), b, size(n), scratch);
    const std::size_t h = n / 2;
    mp_limb_t* da = scratch;
    mp_limb_t* db = scratch + h;
    mp_limb_t* spare = scratch + 2 * h;
    mp_limb_t* middle = scratch + 4 * h;
    mp_limb_t* sum = scratch + 6 * h;
    mp_limb_t* deeper = scratch + 8 * h;

    ct_mul(out, a, b, h, deeper);
    ct_mul(out + 2 * h, a + h, b + h, h, deeper);
    const mp_limb_t negative =
        absolute_difference(da, a, a + h, h, spare) ^ absolute_difference(db, b + h, b, h, spare);
    ct_mul(middle, da, db, h, deeper);

    // The carries are counted in one limb; the true middle term is
    // non-negative and below 2 B^2h, so the count ends at 0 or 1.
    mp_limb_t carry = mpn_add_n(sum, out, out + 2 * h, size(2 * h));
    carry += mpn_cnd_add_n(negative ^ 1, sum, sum, middle, size(2 * h));
    carry -= mpn_cnd_sub_n(negative, sum, sum, middle, size(2 * h));
    carry += mpn_add_n(out + h, out + h, sum, size(2 * h));
    mpn_sec_add_1(out + 3 * h, out + 3 * h, size(h), carry, deeper);
}

}  // namespace hecrypt
