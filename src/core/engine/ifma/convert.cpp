// Constant time in: the digits and limbs converted.
#include "core/engine/ifma/convert.hpp"

namespace hecrypt {

Lanes8 ifma_to_mont8(const IfmaContext& ctx, const Values8& xs, IfmaScratch& scratch) {
    Lanes8 v(ctx.width);
    for (std::size_t l = 0; l < IFMA_LANES; ++l) write_lane(v, l, xs[l]);
    // x R^2 < R m, so the product is below 2m and enters like any other.
    ifma_mont_mul8(ctx, v, ctx.r_squared, v, scratch);
    return v;
}

Values8 ifma_from_mont8(const IfmaContext& ctx, LaneView a, IfmaScratch& scratch) {
    Lanes8 v(ctx.width);
    for (std::size_t l = 0; l < IFMA_LANES; ++l) v[0].lane[l] = 1;
    // (a + u m) / R with a < 2m and u < R is at most m, and m itself only
    // for a lane holding 0 mod m: one masked subtraction finishes it.
    ifma_mont_mul8(ctx, a, v, v, scratch);
    ifma_reduce8(ctx, v, scratch);
    Values8 xs;
    for (std::size_t l = 0; l < IFMA_LANES; ++l) xs[l] = read_lane(v, l);
    return xs;
}

}  // namespace hecrypt
