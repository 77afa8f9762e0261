// The two register widths the Montgomery kernels run at, over the one
// DigitVector layout of lanes.hpp: all eight lanes of a DigitVector in a
// 512-bit register, or its first four in a 256-bit one. CPUs that split
// 512-bit multiply-adds into two halves run twice as many 256-bit ones per
// cycle, so work that fills four lanes or fewer takes half the time at the
// narrow width and loses nothing on the others.
//
// Only functions carrying IFMA_TARGET contain AVX-512 code; everything else
// that includes this header stays compiled for the baseline CPU.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/engine/ifma/lanes.hpp"

#define IFMA_TARGET __attribute__((target("avx512f,avx512vl,avx512ifma")))

namespace hecrypt {

// How many lanes a kernel call works on: all eight, or the first four, in
// which case lanes 4 to 7 are neither read nor written.
enum class LaneCount { Eight, Four };

// Shifts in their zero-masked form: the plain ones start from an undefined
// register that GCC 12 reports as maybe uninitialised.
struct Simd8 {
    using Vec = __m512i;
    static constexpr __mmask8 ALL = 0xff;

    IFMA_TARGET static Vec load(const DigitVector& d) { return _mm512_load_si512(d.lane); }
    IFMA_TARGET static void store(DigitVector& d, Vec v) { _mm512_store_si512(d.lane, v); }
    IFMA_TARGET static Vec zero() { return _mm512_setzero_si512(); }
    IFMA_TARGET static Vec set1(std::uint64_t x) {
        return _mm512_set1_epi64(static_cast<long long>(x));
    }
    IFMA_TARGET static Vec add(Vec a, Vec b) { return _mm512_add_epi64(a, b); }
    IFMA_TARGET static Vec sub(Vec a, Vec b) { return _mm512_sub_epi64(a, b); }
    IFMA_TARGET static Vec bit_and(Vec a, Vec b) { return _mm512_and_si512(a, b); }
    IFMA_TARGET static Vec shift_right(Vec v, unsigned bits) {
        return _mm512_maskz_srli_epi64(ALL, v, bits);
    }
    IFMA_TARGET static Vec shift_left(Vec v, unsigned bits) {
        return _mm512_maskz_slli_epi64(ALL, v, bits);
    }
    IFMA_TARGET static Vec madd_lo(Vec acc, Vec x, Vec y) {
        return _mm512_madd52lo_epu64(acc, x, y);
    }
    IFMA_TARGET static Vec madd_hi(Vec acc, Vec x, Vec y) {
        return _mm512_madd52hi_epu64(acc, x, y);
    }
    IFMA_TARGET static __mmask8 equal(Vec a, Vec b) { return _mm512_cmpeq_epi64_mask(a, b); }
    // b in the lanes of `take`, a in the others.
    IFMA_TARGET static Vec select(__mmask8 take, Vec a, Vec b) {
        return _mm512_mask_blend_epi64(take, a, b);
    }
};

struct Simd4 {
    using Vec = __m256i;
    static constexpr __mmask8 ALL = 0x0f;

    IFMA_TARGET static Vec load(const DigitVector& d) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(d.lane));
    }
    IFMA_TARGET static void store(DigitVector& d, Vec v) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(d.lane), v);
    }
    IFMA_TARGET static Vec zero() { return _mm256_setzero_si256(); }
    IFMA_TARGET static Vec set1(std::uint64_t x) {
        return _mm256_set1_epi64x(static_cast<long long>(x));
    }
    IFMA_TARGET static Vec add(Vec a, Vec b) { return _mm256_add_epi64(a, b); }
    IFMA_TARGET static Vec sub(Vec a, Vec b) { return _mm256_sub_epi64(a, b); }
    IFMA_TARGET static Vec bit_and(Vec a, Vec b) { return _mm256_and_si256(a, b); }
    IFMA_TARGET static Vec shift_right(Vec v, unsigned bits) {
        return _mm256_maskz_srli_epi64(ALL, v, bits);
    }
    IFMA_TARGET static Vec shift_left(Vec v, unsigned bits) {
        return _mm256_maskz_slli_epi64(ALL, v, bits);
    }
    IFMA_TARGET static Vec madd_lo(Vec acc, Vec x, Vec y) {
        return _mm256_madd52lo_epu64(acc, x, y);
    }
    IFMA_TARGET static Vec madd_hi(Vec acc, Vec x, Vec y) {
        return _mm256_madd52hi_epu64(acc, x, y);
    }
    IFMA_TARGET static __mmask8 equal(Vec a, Vec b) { return _mm256_cmpeq_epi64_mask(a, b); }
    IFMA_TARGET static Vec select(__mmask8 take, Vec a, Vec b) {
        return _mm256_mask_blend_epi64(take, a, b);
    }
};

// f.template operator()<S>() for the width `lanes` asks for.
template <class F>
decltype(auto) at_width(LaneCount lanes, F&& f) {
    if (lanes == LaneCount::Four) return f.template operator()<Simd4>();
    return f.template operator()<Simd8>();
}

}  // namespace hecrypt
