// Constant time in: the scalars of multiply_many.
#include "core/engine/ifma/powers8.hpp"

#include <algorithm>

#include "core/engine/ifma/convert.hpp"
#include "core/engine/ifma/pow8.hpp"
#include "core/engine/portable/invert.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

namespace {

constexpr std::size_t FIXED_BITS = SCALAR_BITS + 2;

// Every x of these is invertible: the callers checked coprimality.
void invert_all(std::vector<mpz_class>& xs, const mpz_class& m) {
    ensure(invert_all_vartime(xs, m), "a checked ciphertext has no inverse");
}

// Calls each(group) for the requests eight at a time.
template <class Each>
void in_lanes(std::span<const PowerRequest> requests, Each&& each) {
    for (std::size_t begin = 0; begin < requests.size(); begin += IFMA_LANES) {
        checkpoint();
        each(requests.subspan(begin, std::min(IFMA_LANES, requests.size() - begin)));
    }
}

Values8 bases_of(std::span<const PowerRequest> group) {
    Values8 bases;
    for (std::size_t l = 0; l < group.size(); ++l) bases[l] = *group[l].c;
    return bases;
}

// e = k + 3 2^64 in two words per lane.
ExponentWords8 fixed_exponents(std::span<const PowerRequest> group) {
    ExponentWords8 e(2);
    for (std::size_t l = 0; l < group.size(); ++l) {
        const FixedExponent words = fixed_width_exponent(*group[l].k);
        e[0].lane[l] = words[0];
        e[1].lane[l] = words[1];
    }
    return e;
}

// c^(3 2^64) = (c^3)^(2^64), the same exponent for every scalar: two
// products and 64 squarings, where a windowed power of the 66-bit exponent
// would also build and scan a table. The result is in Montgomery form.
void offset_power(const IfmaContext& ctx, LaneView base, LaneSpan out, IfmaScratch& scratch) {
    ifma_mont_sqr8(ctx, base, out, scratch);
    ifma_mont_mul8(ctx, out, base, out, scratch);
    for (unsigned s = 0; s < SCALAR_BITS; ++s) ifma_mont_sqr8(ctx, out, out, scratch);
}

}  // namespace

std::vector<mpz_class> secret_powers8(const IfmaContext& ctx, const mpz_class& n_squared,
                                      std::span<const PowerRequest> requests) {
    IfmaScratch scratch(ctx);
    std::vector<Lanes8> shifted;     // c^(k + 3 2^64), Montgomery form, per group
    std::vector<mpz_class> offsets;  // c^(3 2^64), public
    in_lanes(requests, [&](std::span<const PowerRequest> group) {
        const Lanes8 base = ifma_to_mont8(ctx, bases_of(group), scratch);
        ifma_pow8(ctx, base, fixed_exponents(group), FIXED_BITS, shifted.emplace_back(ctx.width),
                  scratch);
        Lanes8 offset(ctx.width);
        offset_power(ctx, base, offset, scratch);
        const Values8 values = ifma_from_mont8(ctx, offset, scratch);
        offsets.insert(offsets.end(), values.begin(), values.begin() + group.size());
    });
    invert_all(offsets, n_squared);
    std::vector<mpz_class> out;
    for (std::size_t g = 0; g < shifted.size(); ++g) {
        Values8 inverses;
        const std::size_t count = std::min(IFMA_LANES, requests.size() - IFMA_LANES * g);
        std::copy_n(offsets.begin() + IFMA_LANES * g, count, inverses.begin());
        Lanes8 product = ifma_to_mont8(ctx, inverses, scratch);
        ifma_mont_mul8(ctx, shifted[g], product, product, scratch);
        const Values8 values = ifma_from_mont8(ctx, product, scratch);
        out.insert(out.end(), values.begin(), values.begin() + count);
    }
    return out;
}

std::vector<mpz_class> public_powers8(const IfmaContext& ctx, const mpz_class& n_squared,
                                      std::span<const PowerRequest> requests) {
    std::vector<mpz_class> out, negative;
    std::vector<std::size_t> negative_at;
    in_lanes(requests, [&](std::span<const PowerRequest> group) {
        ExponentWords8 e(1);
        std::size_t bits = 1;
        for (std::size_t l = 0; l < group.size(); ++l) {
            e[0].lane[l] = mpz_getlimbn(group[l].k->get_mpz_t(), 0);
            bits = std::max(bits, bit_length(*group[l].k));
        }
        const Values8 values = ifma_pow_values8(ctx, bases_of(group), e, bits);
        for (std::size_t l = 0; l < group.size(); ++l) {
            if (sgn(*group[l].k) < 0) {
                negative_at.push_back(out.size());
                negative.push_back(values[l]);
            }
            out.push_back(values[l]);
        }
    });
    invert_all(negative, n_squared);
    for (std::size_t i = 0; i < negative.size(); ++i) out[negative_at[i]] = std::move(negative[i]);
    return out;
}

}  // namespace hecrypt
