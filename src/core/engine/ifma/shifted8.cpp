#include "core/engine/ifma/shifted8.hpp"

#include "core/engine/ifma/convert.hpp"
#include "core/engine/ifma/mont8.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

Values8 ifma_shifted_product8(const IfmaContext& ctx, std::span<const Values8> terms,
                              std::size_t shift) {
    ensure(!terms.empty(), "a shifted product of no terms");
    IfmaScratch scratch(ctx);
    Lanes8 acc = ifma_to_mont8(ctx, terms.back(), scratch);
    for (std::size_t i = terms.size() - 1; i-- > 0;) {
        for (std::size_t s = 0; s < shift; ++s) {
            checkpoint();
            ifma_mont_sqr8(ctx, acc, acc, scratch);
        }
        const Lanes8 term = ifma_to_mont8(ctx, terms[i], scratch);
        ifma_mont_mul8(ctx, acc, term, acc, scratch);
    }
    return ifma_from_mont8(ctx, acc, scratch);
}

}  // namespace hecrypt
