// 8-lane Montgomery arithmetic on AVX-512 IFMA.
//
// Each call works on eight independent numbers in the layout of lanes.hpp,
// or on the first four of them (LaneCount, simd.hpp).
// Operands are in [0, 2m) with digits below 2^52, and so are results: the
// width's two spare bits (context.hpp) keep products there without a final
// subtraction; ifma_reduce8 brings a value below m when it leaves.
//
// Nothing branches on or indexes memory by a digit: loops run on the width
// alone and the one selection, in ifma_reduce8, is a mask blend. Every entry
// faults unless ifma_available(); callers choose the portable engine first.
#pragma once

#include "core/engine/ifma/context.hpp"
#include "core/engine/ifma/lanes.hpp"
#include "core/engine/ifma/simd.hpp"

namespace hecrypt {

// Column sums of one product, owned by one thread and reused across calls.
struct IfmaScratch {
    Lanes8 columns;  // 2k

    explicit IfmaScratch(const IfmaContext& ctx);
};

// out = a b R^-1 mod m lane by lane, in [0, 2m). out may alias a or b.
void ifma_mont_mul8(const IfmaContext& ctx, LaneView a, LaneView b, LaneSpan out,
                    IfmaScratch& scratch, LaneCount lanes = LaneCount::Eight);

// out = a^2 R^-1 mod m, as ifma_mont_mul8(a, a) with about half the digit
// products. out may alias a.
void ifma_mont_sqr8(const IfmaContext& ctx, LaneView a, LaneSpan out, IfmaScratch& scratch,
                    LaneCount lanes = LaneCount::Eight);

// a in [0, 2m) becomes a mod m, by one subtraction kept or dropped by mask.
void ifma_reduce8(const IfmaContext& ctx, LaneSpan a, IfmaScratch& scratch,
                  LaneCount lanes = LaneCount::Eight);

}  // namespace hecrypt
