// Constant time in: every operand: these helpers are what secret code computes with.
#include "core/support/ct.hpp"

#include <algorithm>
#include <cstdint>

#include "core/support/cpu.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

namespace {

mp_size_t count(std::size_t n) { return static_cast<mp_size_t>(n); }
mp_size_t count(std::span<const mp_limb_t> limbs) { return count(limbs.size()); }

// Limbs selected side by side: sixteen 64-bit accumulators stay in vector
// registers while the entries are read, so each output limb is stored once.
constexpr std::size_t LANES = 16;

// out[0, lanes) = the OR over all entries of entry limbs [first, first + lanes)
// under their masks.
template <std::size_t lanes>
[[gnu::always_inline]] inline void select_lanes(const mp_limb_t* __restrict table,
                                                const CtMasks& masks, mp_limb_t* __restrict out,
                                                std::size_t width, std::size_t first) {
    mp_limb_t acc[lanes] = {};
    for (std::size_t i = 0; i < CT_TABLE_ENTRIES; ++i) {
        const mp_limb_t* e = table + i * width + first;
        for (std::size_t l = 0; l < lanes; ++l) acc[l] |= e[l] & masks[i];
    }
    std::copy_n(acc, lanes, out + first);
}

// GMP's general multiplication switches to Toom-Cook at the widths of n^2,
// and Toom-Cook branches on comparisons between halves of its operands. Its
// side-channel silent basecase is much slower at those widths, so ct_mul
// splits the operands Karatsuba-style down to basecase size and does the sign
// bookkeeping with masks.

// Below this the basecase wins; it also keeps halves even down to 16 limbs
// for the widths of 2048-bit keys and 12 limbs for 3072-bit ones.
constexpr std::size_t SPLIT_FROM = 24;

bool splits(std::size_t n) { return n >= SPLIT_FROM && n % 2 == 0; }

// d = |x - y| for h-limb x and y; returns 1 when x < y. `spare` is h limbs.
mp_limb_t absolute_difference(mp_limb_t* d, const mp_limb_t* x, const mp_limb_t* y, std::size_t h,
                              mp_limb_t* spare) {
    const mp_limb_t negative = mpn_sub_n(d, x, y, count(h));
    mpn_sub_n(spare, y, x, count(h));
    mpn_cnd_swap(negative, d, spare, count(h));
    return negative;
}

// The whole selection, compiled once per instruction set below: pow_fixed
// reads the whole table through this loop once per evaluation, so it is
// built for the widest vectors the CPU has.
[[gnu::always_inline]] inline void select_entry(const mp_limb_t* table, const CtMasks& masks,
                                                mp_limb_t* out, std::size_t width) {
    std::size_t first = 0;
    for (; first + LANES <= width; first += LANES) {
        select_lanes<LANES>(table, masks, out, width, first);
    }
    for (; first < width; ++first) select_lanes<1>(table, masks, out, width, first);
}

__attribute__((target("avx512f"))) void select_entry_avx512(const mp_limb_t* table,
                                                            const CtMasks& masks, mp_limb_t* out,
                                                            std::size_t width) {
    select_entry(table, masks, out, width);
}

__attribute__((target("avx2"))) void select_entry_avx2(const mp_limb_t* table, const CtMasks& masks,
                                                       mp_limb_t* out, std::size_t width) {
    select_entry(table, masks, out, width);
}

void select_entry_baseline(const mp_limb_t* table, const CtMasks& masks, mp_limb_t* out,
                           std::size_t width) {
    select_entry(table, masks, out, width);
}

using SelectEntry = void (*)(const mp_limb_t*, const CtMasks&, mp_limb_t*, std::size_t);

// One build per VectorWidth, in its order.
constexpr SelectEntry SELECT_ENTRY[] = {select_entry_baseline, select_entry_avx2,
                                        select_entry_avx512};

}  // namespace

void ct_select_entry(const mp_limb_t* table, const CtMasks& masks, mp_limb_t* out,
                     std::size_t width) {
    static const SelectEntry select = SELECT_ENTRY[static_cast<std::size_t>(widest_vectors())];
    select(table, masks, out, width);
}

std::size_t ct_mul_scratch(std::size_t n) {
    if (!splits(n)) return static_cast<std::size_t>(mpn_sec_mul_itch(count(n), count(n)));
    const std::size_t h = n / 2;
    const auto add_itch = static_cast<std::size_t>(mpn_sec_add_1_itch(count(h)));
    return 4 * n + std::max(ct_mul_scratch(h), add_itch);
}

// a b = z2 B^2h + z1 B^h + z0 with z1 = z0 + z2 + (a0 - a1)(b1 - b0). The
// middle product is taken of the absolute differences, and its sign decides,
// by mask, whether it is added or subtracted.
void ct_mul(mp_limb_t* out, const mp_limb_t* a, const mp_limb_t* b, std::size_t n,
            mp_limb_t* scratch) {
    if (!splits(n)) return mpn_sec_mul(out, a, count(n), b, count(n), scratch);
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
    mp_limb_t carry = mpn_add_n(sum, out, out + 2 * h, count(2 * h));
    carry += mpn_cnd_add_n(negative ^ 1, sum, sum, middle, count(2 * h));
    carry -= mpn_cnd_sub_n(negative, sum, sum, middle, count(2 * h));
    carry += mpn_add_n(out + h, out + h, sum, count(2 * h));
    mpn_sec_add_1(out + 3 * h, out + 3 * h, count(h), carry, deeper);
}

void ct_mul_wide(std::span<mp_limb_t> out, std::span<const mp_limb_t> a,
                 std::span<const mp_limb_t> b) {
    if (a.size() < b.size()) std::swap(a, b);  // GMP wants the longer operand first
    WipedLimbs scratch(mpn_sec_mul_itch(count(a), count(b)));
    mpn_sec_mul(out.data(), a.data(), count(a), b.data(), count(b), scratch.data());
}

void ct_reduce(std::span<mp_limb_t> n, std::span<const mp_limb_t> d) {
    WipedLimbs scratch(mpn_sec_div_r_itch(count(n), count(d)));
    mpn_sec_div_r(n.data(), count(n), d.data(), count(d), scratch.data());
}

void ct_l_quotient(std::span<mp_limb_t> quotient, std::span<mp_limb_t> numerator,
                   std::span<const mp_limb_t> d) {
    const mp_size_t nn = count(numerator);
    const mp_size_t dn = count(d);
    WipedLimbs scratch(std::max(mpn_sec_sub_1_itch(nn), mpn_sec_div_qr_itch(nn, dn)));
    mpn_sec_sub_1(numerator.data(), numerator.data(), nn, 1, scratch.data());
    quotient[numerator.size() - d.size()] =
        mpn_sec_div_qr(quotient.data(), numerator.data(), nn, d.data(), dn, scratch.data());
}

void ct_mul_mod(std::span<mp_limb_t> out, std::span<const mp_limb_t> a,
                std::span<const mp_limb_t> b, std::span<const mp_limb_t> m) {
    const std::size_t w = m.size();
    // The top limb of m is not tested: m may be secret, and every caller
    // takes the width from the modulus's own mpz size.
    ensure(w > 0, "the modulus has no limbs");
    ensure(a.size() == w && b.size() == w && out.size() == w, "an operand has the wrong width");
    // Both buffers end up holding multiples of the secret operand.
    WipedLimbs product(2 * w);
    WipedLimbs scratch(ct_mul_scratch(w));
    ct_mul(product.data(), a.data(), b.data(), w, scratch.data());
    ct_reduce(product.span(), m);
    std::copy_n(product.view().begin(), w, out.begin());
}

void ct_pow_limbs(std::span<mp_limb_t> out, std::span<const mp_limb_t> base,
                  std::span<const mp_limb_t> e, mp_bitcnt_t e_bits, std::span<const mp_limb_t> m) {
    ensure(e_bits <= GMP_NUMB_BITS * e.size(), "the exponent is wider than its limbs");
    // The scratch ends up holding powers of the base: wiped with it.
    WipedLimbs scratch(mpn_sec_powm_itch(count(base), e_bits, count(m)));
    mpn_sec_powm(out.data(), base.data(), count(base), e.data(), e_bits, m.data(), count(m),
                 scratch.data());
}

// mpn_sec_powm rather than mpz_powm_sec: the latter branches on the lowest
// bit of the exponent after the power (a fix-up for negative bases).
mpz_class secure_pow_mod(const mpz_class& base, const mpz_class& exponent,
                         mp_bitcnt_t exponent_bits, const mpz_class& modulus) {
    if (exponent <= 0) throw InternalFault("exponent not greater than zero");
    if (mpz_odd_p(modulus.get_mpz_t()) == 0) throw InternalFault("modulo not odd");
    ensure(base > 0, "base not greater than zero");
    // The power reads every limb the bit count spans, so a short exponent is
    // padded; its limb count is public, its limbs are not.
    const std::span<const mp_limb_t> given = limbs_of(exponent);
    WipedLimbs e(std::max<std::size_t>((exponent_bits + GMP_NUMB_BITS - 1) / GMP_NUMB_BITS, 1));
    ensure(given.size() <= e.view().size(), "the exponent is wider than its bit count");
    std::ranges::copy(given, e.span().begin());
    const std::size_t width = mpz_size(modulus.get_mpz_t());
    mpz_class result;
    std::span<mp_limb_t> out(mpz_limbs_write(result.get_mpz_t(), count(width)), width);
    ct_pow_limbs(out, limbs_of(base), e.view(), exponent_bits, limbs_of(modulus));
    ct_limbs_finish(result.get_mpz_t(), width);
    return result;
}

mp_limb_t ct_copy_limbs(const mpz_class& x, std::span<mp_limb_t> out) {
    const mpz_srcptr z = x.get_mpz_t();
    const mp_limb_t size = static_cast<mp_limb_t>(static_cast<std::int64_t>(z->_mp_size));
    const mp_limb_t sign = ct_barrier(mp_limb_t{0} - (size >> (GMP_NUMB_BITS - 1)));
    const mp_limb_t length = (size ^ sign) - sign;
    const auto allocated = static_cast<std::size_t>(z->_mp_alloc);  // public: set by widths
    mp_limb_t excess = 0;
    for (std::size_t i = 0; i < std::max(out.size(), allocated); ++i) {
        const mp_limb_t limb = (i < allocated ? z->_mp_d[i] : 0) & ct_lt_mask(i, length);
        if (i < out.size())
            out[i] = limb;
        else
            excess |= limb;
    }
    return excess;
}

// The size is the position of the highest nonzero limb plus one, kept by
// mask while every limb is visited. The struct's fields are GMP's documented
// integer internals.
void ct_limbs_finish(mpz_ptr x, std::size_t width, mp_limb_t negative) {
    const mp_limb_t* limbs = x->_mp_d;
    mp_limb_t size = 0;
    for (std::size_t i = 0; i < width; ++i)
        size = ct_select(ct_nonzero_mask(limbs[i]), i + 1, size);
    const mp_limb_t sign = mp_limb_t{0} - ct_barrier(negative);
    x->_mp_size = static_cast<int>((size ^ sign) + negative);
}

mpz_class ct_from_limbs(std::span<const mp_limb_t> limbs) {
    mpz_class x;
    std::ranges::copy(limbs, mpz_limbs_write(x.get_mpz_t(), count(limbs)));
    ct_limbs_finish(x.get_mpz_t(), limbs.size());
    return x;
}

void ct_pow2_mod(std::span<mp_limb_t> out, std::size_t bits, std::span<const mp_limb_t> m) {
    ensure(out.size() == m.size(), "the result has the wrong width");
    WipedLimbs power(std::max(bits / GMP_NUMB_BITS + 1, m.size()));
    power.span()[bits / GMP_NUMB_BITS] = mp_limb_t{1} << (bits % GMP_NUMB_BITS);
    ct_reduce(power.span(), m);
    std::copy_n(power.data(), m.size(), out.begin());
}

// x = a + r t with t = (b - a) r^-1 mod s: a is reduced mod s first, so the
// difference needs one conditional addition of s, made by mask; r t + a
// < r (s - 1) + r, and the carry out of a's limbs goes into the rest.
void ct_crt(std::span<mp_limb_t> out, std::span<const mp_limb_t> a, std::span<const mp_limb_t> b,
            std::span<const mp_limb_t> r, std::span<const mp_limb_t> s,
            std::span<const mp_limb_t> r_inv_s) {
    const std::size_t w = s.size();
    ensure(
        a.size() == r.size() && b.size() == w && r_inv_s.size() == w && out.size() == r.size() + w,
        "an operand has the wrong width");
    WipedLimbs reduced(std::max(a.size(), w)), difference(w), t(w);
    std::ranges::copy(a, reduced.span().begin());
    ct_reduce(reduced.span(), s);
    const mp_limb_t borrow = mpn_sub_n(difference.data(), b.data(), reduced.data(), count(w));
    mpn_cnd_add_n(borrow, difference.data(), difference.data(), s.data(), count(w));
    ct_mul_mod(t.span(), difference.view(), r_inv_s, s);
    ct_mul_wide(out, r, t.view());
    const mp_limb_t carry = mpn_add_n(out.data(), out.data(), a.data(), count(a));
    WipedLimbs scratch(static_cast<std::size_t>(mpn_sec_add_1_itch(count(w))));
    mpn_sec_add_1(out.data() + a.size(), out.data() + a.size(), count(w), carry, scratch.data());
}

void ct_add_mod(std::span<mp_limb_t> out, std::span<const mp_limb_t> a,
                std::span<const mp_limb_t> b, std::span<const mp_limb_t> m,
                std::span<mp_limb_t> spare) {
    const mp_size_t n = count(m);
    ensure(a.size() == m.size() && b.size() == m.size() && out.size() == m.size() &&
               spare.size() == m.size(),
           "an operand has the wrong width");
    const mp_limb_t carry = mpn_add_n(out.data(), a.data(), b.data(), n);
    const mp_limb_t borrow = mpn_sub_n(spare.data(), out.data(), m.data(), n);
    // The sum is m or more when it carried out of the width or the trial
    // subtraction did not borrow.
    mpn_cnd_swap(carry | (borrow ^ 1), out.data(), spare.data(), n);
}

void ct_sub_mod(std::span<mp_limb_t> out, std::span<const mp_limb_t> a,
                std::span<const mp_limb_t> b, std::span<const mp_limb_t> m) {
    const mp_size_t n = count(m);
    ensure(a.size() == m.size() && b.size() == m.size() && out.size() == m.size(),
           "an operand has the wrong width");
    const mp_limb_t borrow = mpn_sub_n(out.data(), a.data(), b.data(), n);
    mpn_cnd_add_n(borrow, out.data(), out.data(), m.data(), n);
}

mp_limb_t ct_read_signed(const mpz_class& x, std::span<mp_limb_t> out) {
    const __mpz_struct* raw = x.get_mpz_t();
    // The sign as a mask, and |size| from it without a branch.
    const mp_limb_t signed_size = static_cast<mp_limb_t>(static_cast<std::int64_t>(raw->_mp_size));
    const mp_limb_t negative = ct_barrier(mp_limb_t{0} - (signed_size >> (GMP_NUMB_BITS - 1)));
    const mp_limb_t size = (signed_size ^ negative) - negative;
    // The allocation is public: the width the value was written at.
    const auto room = std::min(out.size(), static_cast<std::size_t>(raw->_mp_alloc));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = i < room ? raw->_mp_d[i] & ct_lt_mask(i, size) : 0;
    return negative;
}

}  // namespace hecrypt
