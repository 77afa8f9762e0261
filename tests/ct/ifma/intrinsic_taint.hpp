// How a secret's taint crosses the AVX-512 intrinsics of src/core/engine/ifma in
// ct_ifma, whose build puts this header in front of every source.
//
// MemorySanitizer gives a sum, a difference or a product the union of its
// operands' tainted bits, bit for bit, and treats the intrinsics it has no
// rule for (vpmadd52luq, vpmadd52huq, vpermi2q) the same way. That suits
// uninitialised memory, not secrets: a carry or a borrow out of tainted bits
// lands in bits it calls clean, so a branch on the carry of a column sum or
// on the borrow of a subtraction would go unreported. The intrinsics below
// that move information between bits or lanes are therefore wrapped: lane l
// of the result is tainted in all 64 bits when lane l of any operand has a
// tainted bit, and for the permutation, which moves words between lanes,
// every lane is when any table word is. The values are the instructions'
// own; only the shadow differs. The kernels' 256-bit forms (four lanes) get
// the same rules as their 512-bit ones.
//
// MemorySanitizer's own rules are exact enough for the rest, which move bits
// without mixing them: _mm512_load_si512, _mm512_store_si512,
// _mm512_set1_epi64 and _mm512_setzero_si512 copy the shadow with the value;
// _mm512_and_si512 taints a bit only where the other operand does not force
// it to 0; _mm512_maskz_srli_epi64 and _mm512_maskz_slli_epi64, with a
// constant count and all lanes, shift the shadow with the value;
// _mm512_test_epi64_mask and _mm512_cmpeq_epi64_mask taint a mask bit when a
// tainted bit could change it. _mm512_mask_blend_epi64 and
// _mm512_mask_mov_epi64 are the same select of whole lanes by a mask: a lane
// takes the taint of the source it gets, and under a tainted mask bit also
// every bit where the two sources differ or either is tainted. A selection
// by a secret mask is not reported, since it is no branch, but what it
// selects is tainted unless every candidate is the same public value (the
// power canary of canaries.cpp relies on it). The same holds for the 256-bit
// _mm256_load_si256, _mm256_store_si256, _mm256_set1_epi64x,
// _mm256_setzero_si256, _mm256_and_si256, _mm256_maskz_srli_epi64,
// _mm256_maskz_slli_epi64, _mm256_cmpeq_epi64_mask and
// _mm256_mask_blend_epi64. scripts/ct-check-ifma fails
// when a kernel uses an intrinsic this header does not name.
#pragma once

#include <immintrin.h>
#include <sanitizer/msan_interface.h>

#include <cstdint>

#define CT_TAINT_TARGET __attribute__((target("avx512f,avx512vl,avx512ifma")))

namespace ct_taint {

using Vec = __m512i;
using Vec4 = __m256i;

// r with every bit of lane l tainted where lane l of `operands` has a tainted
// bit. Callers pass the sum of their operands, whose shadow is the union.
CT_TAINT_TARGET inline Vec spread_lanes(Vec r, Vec operands) {
    alignas(64) std::uint64_t in[8], out[8];
    _mm512_store_si512(in, operands);
    if (__msan_test_shadow(in, sizeof in) < 0) return r;
    _mm512_store_si512(out, r);
    for (int l = 0; l < 8; ++l) {
        if (__msan_test_shadow(&in[l], sizeof in[l]) >= 0) __msan_poison(&out[l], sizeof out[l]);
    }
    return _mm512_load_si512(out);
}

CT_TAINT_TARGET inline Vec add_epi64(Vec a, Vec b) {
    return spread_lanes(_mm512_add_epi64(a, b), _mm512_add_epi64(a, b));
}

CT_TAINT_TARGET inline Vec sub_epi64(Vec a, Vec b) {
    return spread_lanes(_mm512_sub_epi64(a, b), _mm512_add_epi64(a, b));
}

CT_TAINT_TARGET inline Vec madd52lo_epu64(Vec acc, Vec x, Vec y) {
    return spread_lanes(_mm512_madd52lo_epu64(acc, x, y),
                        _mm512_add_epi64(acc, _mm512_add_epi64(x, y)));
}

CT_TAINT_TARGET inline Vec madd52hi_epu64(Vec acc, Vec x, Vec y) {
    return spread_lanes(_mm512_madd52hi_epu64(acc, x, y),
                        _mm512_add_epi64(acc, _mm512_add_epi64(x, y)));
}

CT_TAINT_TARGET inline Vec permutex2var_epi64(Vec a, Vec index, Vec b) {
    const Vec picked = spread_lanes(_mm512_permutex2var_epi64(a, index, b), index);
    alignas(64) std::uint64_t table[16];
    _mm512_store_si512(table, a);
    _mm512_store_si512(table + 8, b);
    if (__msan_test_shadow(table, sizeof table) < 0) return picked;
    alignas(64) std::uint64_t out[8];
    _mm512_store_si512(out, picked);
    __msan_poison(out, sizeof out);
    return _mm512_load_si512(out);
}

// The 256-bit forms: the same rule on the low four lanes of a zero-extended
// register, whose upper lanes are clean and so change nothing.
CT_TAINT_TARGET inline Vec wide(Vec4 v) { return _mm512_zextsi256_si512(v); }
CT_TAINT_TARGET inline Vec4 narrow(Vec v) { return _mm512_castsi512_si256(v); }
CT_TAINT_TARGET inline Vec4 add_epi64(Vec4 a, Vec4 b) {
    return narrow(add_epi64(wide(a), wide(b)));
}
CT_TAINT_TARGET inline Vec4 sub_epi64(Vec4 a, Vec4 b) {
    return narrow(sub_epi64(wide(a), wide(b)));
}
CT_TAINT_TARGET inline Vec4 madd52lo_epu64(Vec4 acc, Vec4 x, Vec4 y) {
    return narrow(madd52lo_epu64(wide(acc), wide(x), wide(y)));
}
CT_TAINT_TARGET inline Vec4 madd52hi_epu64(Vec4 acc, Vec4 x, Vec4 y) {
    return narrow(madd52hi_epu64(wide(acc), wide(x), wide(y)));
}

}  // namespace ct_taint

#define _mm512_add_epi64 ct_taint::add_epi64
#define _mm512_sub_epi64 ct_taint::sub_epi64
#define _mm512_madd52lo_epu64 ct_taint::madd52lo_epu64
#define _mm512_madd52hi_epu64 ct_taint::madd52hi_epu64
#define _mm512_permutex2var_epi64 ct_taint::permutex2var_epi64
#define _mm256_add_epi64 ct_taint::add_epi64
#define _mm256_sub_epi64 ct_taint::sub_epi64
#define _mm256_madd52lo_epu64 ct_taint::madd52lo_epu64
#define _mm256_madd52hi_epu64 ct_taint::madd52hi_epu64
