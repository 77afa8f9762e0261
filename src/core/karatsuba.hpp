// Constant-time multiplication of two equal-length limb arrays.
//
// GMP's general multiplication switches to Toom-Cook at the widths of n^2,
// and Toom-Cook branches on comparisons between halves of its operands. Its
// side-channel silent basecase is much slower at those widths, so this
// splits the operands Karatsuba-style down to basecase size and does the
// sign bookkeeping with masks: no branch and no memory index depends on the
// values.
#pragma once

#include <gmp.h>

#include <cstddef>

namespace hecrypt {

// Limbs of scratch ct_mul needs for operands of n limbs.
std::size_t ct_mul_scratch(std::size_t n);

// out[0, 2n) = a[0, n) b[0, n). `out` must not overlap the operands.
void ct_mul(mp_limb_t* out, const mp_limb_t* a, const mp_limb_t* b, std::size_t n,
            mp_limb_t* scratch);

}  // namespace hecrypt
