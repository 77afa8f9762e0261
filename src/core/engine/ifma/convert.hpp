// Eight big integers into and out of the 8-lane Montgomery form.
#pragma once

#include "core/engine/ifma/context.hpp"
#include "core/engine/ifma/mont8.hpp"

namespace hecrypt {

// x_l R mod m in lane l, for 0 <= x_l < R (callers pass values below m).
Lanes8 ifma_to_mont8(const IfmaContext& ctx, const Values8& xs, IfmaScratch& scratch);

// a_l R^-1 mod m of every lane, each in [0, m).
Values8 ifma_from_mont8(const IfmaContext& ctx, LaneView a, IfmaScratch& scratch);

}  // namespace hecrypt
