// Constant-time helpers: the code that may compute on secrets.
//
// Everything here takes the same time, branches the same way and touches the
// same memory whatever the values it works on; only widths (limb and bit
// counts, which the key length fixes) may change what it does. The secrets
// are the primes and everything derived from them, a secret scalar, and a
// random exponent with the powers made from it.
//
// The naming rule. Code that may compute on secrets lives in constant-time
// units: each says in a line "Constant time in:" at its top which of its
// inputs are secret, and scripts/ct-vartime-check holds every such unit to
// GMP's side-channel-silent functions (mpn_sec_*, mpn_cnd_*, and mpn_add_n,
// mpn_sub_n, mpn_addmul_1, whose loops run on the length alone), but for the
// calls on public values listed in tests/ct/vartime_allow.txt. The helpers
// here are named ct_*, except secure_pow_mod, an older name kept as it is.
// A helper that is not constant time and could pass for it ends in
// _vartime (mul_mod_vartime, pow_mod_vartime, inverse_vartime,
// invert_all_vartime); l_function keeps its own name and says so where it
// is declared. scripts/ct-check runs the secret paths under valgrind with
// the secrets marked undefined, and scripts/ct-check-ifma under
// MemorySanitizer.
#pragma once

#include <gmp.h>

#include <array>
#include <cstddef>
#include <span>

#include "core/support/bigint.hpp"

#if defined(__has_feature)
#if __has_feature(memory_sanitizer)
#include <sanitizer/msan_interface.h>
#define HECRYPT_MSAN 1
#endif
#endif

namespace hecrypt {

// x, hidden from the optimiser: it can prove nothing about the value, so it
// cannot turn the mask arithmetic that follows back into a branch.
template <class T>
inline T ct_barrier(T x) {
#ifdef HECRYPT_MSAN
    // MemorySanitizer reports a secret entering inline assembly and takes
    // what leaves it for public. In the check of scripts/ct-check-ifma what
    // leaves is secret in every bit when any bit that entered was: the masks
    // made from a barrier's output carry a secret into bits (a sign, a
    // borrow) that MemorySanitizer's bit-for-bit rule for arithmetic would
    // call public.
    const bool secret = __msan_test_shadow(&x, sizeof x) != -1;
    __msan_unpoison(&x, sizeof x);
    asm("" : "+r"(x));
    if (secret) __msan_poison(&x, sizeof x);
#else
    asm("" : "+r"(x));
#endif
    return x;
}

// All ones when x is not zero, zero when it is.
inline mp_limb_t ct_nonzero_mask(mp_limb_t x) {
    return ct_barrier(mp_limb_t{0} - ((x | (mp_limb_t{0} - x)) >> (GMP_NUMB_BITS - 1)));
}

// All ones when x equals y, zero otherwise.
inline mp_limb_t ct_eq_mask(mp_limb_t x, mp_limb_t y) {
    const mp_limb_t d = x ^ y;
    return ct_barrier(((d | (mp_limb_t{0} - d)) >> (GMP_NUMB_BITS - 1)) - 1);
}

// All ones when x < y, zero otherwise.
inline mp_limb_t ct_lt_mask(mp_limb_t x, mp_limb_t y) {
    const mp_limb_t below = (x ^ ((x ^ y) | ((x - y) ^ y))) >> (GMP_NUMB_BITS - 1);
    return ct_barrier(mp_limb_t{0} - below);
}

// x, whose disclosure is by design: the outcome of a check that holds for
// every valid input (a fault otherwise), or of a refusal that reveals it
// anyway. The code branches on it; the MemorySanitizer check of
// scripts/ct-check-ifma takes it for public from here on.
template <class T>
inline T ct_reveal(T x) {
#ifdef HECRYPT_MSAN
    __msan_unpoison(&x, sizeof x);
#endif
    return x;
}

// a where the mask is all ones, b where it is zero.
inline mp_limb_t ct_select(mp_limb_t mask, mp_limb_t a, mp_limb_t b) {
    return (a & mask) | (b & ~mask);
}

// Entries of a table ct_select_entry reads: one per value of a 6-bit digit.
constexpr std::size_t CT_TABLE_ENTRIES = 64;
using CtMasks = std::array<mp_limb_t, CT_TABLE_ENTRIES>;

// masks[i] all ones for i equal to index, zero for every other i.
inline void ct_index_masks(mp_limb_t index, CtMasks& masks) {
    for (std::size_t i = 0; i < CT_TABLE_ENTRIES; ++i) masks[i] = ct_eq_mask(i, index);
}

// out[0, width) = the entry whose mask is all ones, of a table of
// CT_TABLE_ENTRIES entries of `width` limbs side by side. Every limb of every
// entry is read, so the memory traffic is the same whichever entry it is.
void ct_select_entry(const mp_limb_t* table, const CtMasks& masks, mp_limb_t* out,
                     std::size_t width);

// Limbs of scratch ct_mul needs for operands of n limbs.
std::size_t ct_mul_scratch(std::size_t n);

// out[0, 2n) = a[0, n) b[0, n). `out` must not overlap the operands.
void ct_mul(mp_limb_t* out, const mp_limb_t* a, const mp_limb_t* b, std::size_t n,
            mp_limb_t* scratch);

// out[0, |a| + |b|) = a b for operands of any widths.
void ct_mul_wide(std::span<mp_limb_t> out, std::span<const mp_limb_t> a,
                 std::span<const mp_limb_t> b);

// The first |d| limbs of n become n mod d, for a d whose top limb is not zero.
void ct_reduce(std::span<mp_limb_t> n, std::span<const mp_limb_t> d);

// quotient = (numerator - 1) / d, the numerator overwritten: the L function of
// decryption, exact for the values it is used on. The quotient has
// |numerator| - |d| + 1 limbs.
void ct_l_quotient(std::span<mp_limb_t> quotient, std::span<mp_limb_t> numerator,
                   std::span<const mp_limb_t> d);

// out = a b mod m for a, b and out of |m| limbs and a modulus whose top limb
// is not zero.
void ct_mul_mod(std::span<mp_limb_t> out, std::span<const mp_limb_t> a,
                std::span<const mp_limb_t> b, std::span<const mp_limb_t> m);

// out = base^e mod m for base > 0, odd m and e < 2^e_bits, out having the
// width of m, by GMP's mpn_sec_powm: neither the time nor the memory access
// depends on e or on the base, only on e_bits and the widths.
void ct_pow_limbs(std::span<mp_limb_t> out, std::span<const mp_limb_t> base,
                  std::span<const mp_limb_t> e, mp_bitcnt_t e_bits, std::span<const mp_limb_t> m);

// base^exponent mod modulus for an exponent below 2^exponent_bits, in time
// that depends only on exponent_bits and the sizes of the operands: the path
// for secret exponents. Faults unless base > 0, exponent > 0 and the modulus
// is odd.
mpz_class secure_pow_mod(const mpz_class& base, const mpz_class& exponent,
                         mp_bitcnt_t exponent_bits, const mpz_class& modulus);

// out = 2^bits mod m at the width of m, for a modulus whose top limb is not
// zero: the Montgomery constants of a secret modulus.
void ct_pow2_mod(std::span<mp_limb_t> out, std::size_t bits, std::span<const mp_limb_t> m);

// out = the x < r s with x = a mod r and x = b mod s, for coprime r and s,
// a < r at the width of r, b < s at the width of s, and r_inv_s = r^-1 mod s
// at the width of s; out has |r| + |s| limbs.
void ct_crt(std::span<mp_limb_t> out, std::span<const mp_limb_t> a, std::span<const mp_limb_t> b,
            std::span<const mp_limb_t> r, std::span<const mp_limb_t> s,
            std::span<const mp_limb_t> r_inv_s);

// out = (a + b) mod m for a + b < 2m, all at the width of m; `spare` is as
// wide. `out` may be `a` or `b`.
void ct_add_mod(std::span<mp_limb_t> out, std::span<const mp_limb_t> a,
                std::span<const mp_limb_t> b, std::span<const mp_limb_t> m,
                std::span<mp_limb_t> spare);

// out = (a - b) mod m for a, b < m, all at the width of m. `out` may be `a` or `b`.
void ct_sub_mod(std::span<mp_limb_t> out, std::span<const mp_limb_t> a,
                std::span<const mp_limb_t> b, std::span<const mp_limb_t> m);

// Writes |x| into `out`, zero-padded, and returns the OR of its limbs that
// did not fit (zero when it fits). x's own length is secret when x is: every
// limb GMP has allocated for it is read and kept or dropped by a mask on
// that length, so the work depends on the allocation and |out| alone.
mp_limb_t ct_copy_limbs(const mpz_class& x, std::span<mp_limb_t> out);

// |x| into out at out's width, and all ones when x < 0, zero otherwise:
// every limb x has room for is read and masked by x's size, so the length of
// |x| stays hidden. x must have room for all its limbs within out's width,
// as a value written at that width through ct_limbs_finish has.
mp_limb_t ct_read_signed(const mpz_class& x, std::span<mp_limb_t> out);

// Ends a write of `width` limbs through mpz_limbs_write as mpz_limbs_finish
// does, the value negated when `negative` is 1, but finds the highest nonzero
// limb by masks over all of them where GMP stops at the first from the top:
// the size of a secret value is left for its reader to reveal.
void ct_limbs_finish(mpz_ptr x, std::size_t width, mp_limb_t negative = 0);

// The number held in fixed-width limbs, its size found as ct_limbs_finish
// finds it.
mpz_class ct_from_limbs(std::span<const mp_limb_t> limbs);

}  // namespace hecrypt
