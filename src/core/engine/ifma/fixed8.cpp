// Constant time in: the exponent digits (a random exponent r) and the entries they pick.
#include "core/engine/ifma/fixed8.hpp"

#include <immintrin.h>

#include <algorithm>
#include <deque>
#include <string>

#include "core/engine/ifma/simd.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/support/ct.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

namespace {

using Vec = __m512i;

// Vectors of one digit position of a transposed window: 64 entries.
constexpr std::size_t POSITION_VECTORS = WINDOW_ENTRIES / IFMA_LANES;
static_assert(POSITION_VECTORS == 8, "the selection below picks from 8 vectors of 8 entries");

IFMA_TARGET inline Vec load(const DigitVector& d) { return _mm512_load_si512(d.lane); }
IFMA_TARGET inline void store(DigitVector& d, Vec v) { _mm512_store_si512(d.lane, v); }

// out[i], lane l = digit i of entry digits.lane[l] of the window, for i < k.
// The permutations pick by the digit's low four bits within each pair of
// vectors (16 entries), which is a register operation whatever the index;
// bits 4 and 5 become per-lane masks that blend the four candidates.
IFMA_TARGET void select8(const DigitVector* window, const DigitVector& digits, DigitVector* out,
                         std::size_t k) {
    const Vec d = load(digits);
    const __mmask8 bit4 = _mm512_test_epi64_mask(d, _mm512_set1_epi64(16));
    const __mmask8 bit5 = _mm512_test_epi64_mask(d, _mm512_set1_epi64(32));
    for (std::size_t i = 0; i < k; ++i) {
        const DigitVector* e = window + POSITION_VECTORS * i;
        const Vec q0 = _mm512_permutex2var_epi64(load(e[0]), d, load(e[1]));
        const Vec q1 = _mm512_permutex2var_epi64(load(e[2]), d, load(e[3]));
        const Vec q2 = _mm512_permutex2var_epi64(load(e[4]), d, load(e[5]));
        const Vec q3 = _mm512_permutex2var_epi64(load(e[6]), d, load(e[7]));
        const Vec low = _mm512_mask_blend_epi64(bit4, q0, q1);
        const Vec high = _mm512_mask_blend_epi64(bit4, q2, q3);
        store(out[i], _mm512_mask_blend_epi64(bit5, low, high));
    }
}

// The buffers of one evaluation: the digits and every power made from them,
// lanes that wipe themselves.
struct Evaluation {
    Lanes8 digits, acc, selected;
    IfmaScratch scratch;

    Evaluation(const IfmaContext& ctx, std::size_t positions)
        : digits(positions), acc(ctx.one), selected(ctx.width), scratch(ctx) {}
};

// The same checks, and the same fault texts, as pow_fixed.
std::size_t check_digits(const IfmaFixedBaseTable& table, const Digits8& digits) {
    unsigned all = 0;
    std::size_t positions = 0;
    for (const Digits& lane : digits) {
        for (std::uint8_t d : lane) all |= d;
        positions = std::max(positions, lane.size());  // lengths are public
    }
    if ((all >> WINDOW_BITS) != 0) {
        throw InternalFault("an exponent digit does not fit a " + std::to_string(WINDOW_BITS) +
                            "-bit window");
    }
    if (positions > table.windows.size()) {
        throw InternalFault("the exponent has " + std::to_string(positions) +
                            " digits and the table has " + std::to_string(table.windows.size()) +
                            " windows");
    }
    return positions;
}

// The buffers of build_table8, derived from the modulus and the base, which
// may be secret: zeroed on every way out, an interrupt included (the lanes
// wipe themselves; the plain digits are wiped here).
struct Rebasing {
    std::vector<std::uint64_t> digits;
    Lanes8 rebase, group;

    explicit Rebasing(std::vector<std::uint64_t> d)
        : digits(std::move(d)), rebase(broadcast_digits(digits)), group(digits.size()) {}
    ~Rebasing() {
        wipe(std::span(reinterpret_cast<std::uint8_t*>(digits.data()),
                       digits.size() * sizeof(std::uint64_t)));
    }
};

}  // namespace

// Each entry x R64 mod m of the portable table is taken to x R mod m by one
// 8-lane product with R^2 R64^-1: no power is computed again, so the two
// tables cannot disagree on which power an entry holds.
IfmaFixedBaseTable build_table8(const FixedBaseTable& table, const mpz_class& modulus) {
    IfmaFixedBaseTable out{{}, IfmaContext(modulus)};
    const IfmaContext& ctx = out.context;
    const std::size_t k = ctx.width, limbs = table.context.width;
    // R^2 R64^-1 mod m, with R = 2^(52 k) and R64 the portable table's R, is
    // R^2 taken out of the portable Montgomery form: no inversion, and only
    // constant-time arithmetic on a modulus that may be p^2 or q^2.
    const LimbView m = table.context.modulus;
    WipedLimbs r(limbs), r_squared(limbs);
    ct_pow2_mod(r.span(), IFMA_DIGIT_BITS * k, m);
    ct_mul_mod(r_squared.span(), r.view(), r.view(), m);
    MontScratch mont_scratch(limbs);
    const WipedInteger rebase_value = from_mont(table.context, r_squared.view(), mont_scratch);
    Rebasing work(digits_of(rebase_value, k));
    const Lanes8& rebase = work.rebase;
    Lanes8& group = work.group;
    IfmaScratch scratch(ctx);
    out.windows.reserve(table.windows.size());
    for (const Limbs& window : table.windows) {
        checkpoint();  // as long again as the portable table's windows
        Lanes8& transposed = out.windows.emplace_back(POSITION_VECTORS * k);
        for (std::size_t g = 0; g < POSITION_VECTORS; ++g) {
            for (std::size_t l = 0; l < IFMA_LANES; ++l) {
                const std::size_t d = IFMA_LANES * g + l;
                const LimbView entry = LimbView(window).subspan(d * limbs, limbs);
                write_lane(group, l, WipedInteger(ct_from_limbs(entry)));
            }
            ifma_mont_mul8(ctx, group, rebase, group, scratch);
            ifma_reduce8(ctx, group, scratch);
            for (std::size_t i = 0; i < k; ++i) transposed[POSITION_VECTORS * i + g] = group[i];
        }
    }
    return out;
}

std::vector<Values8> pow_fixed8_many(const IfmaFixedBaseTable& table,
                                     std::span<const Digits8> sets) {
    std::size_t positions = 0;
    for (const Digits8& digits : sets) positions = std::max(positions, check_digits(table, digits));
    const IfmaContext& ctx = table.context;
    std::deque<Evaluation> evs;  // not movable: each wipes its own buffers
    for (const Digits8& digits : sets) {
        Evaluation& ev = evs.emplace_back(ctx, positions);
        for (std::size_t l = 0; l < IFMA_LANES; ++l) {
            for (std::size_t j = 0; j < digits[l].size(); ++j) ev.digits[j].lane[l] = digits[l][j];
        }
    }
    // Every set selects from a window before any multiplies, so the window
    // comes from memory once and from the cache for the other sets.
    for (std::size_t j = 0; j < positions; ++j) {
        for (Evaluation& ev : evs)
            select8(table.windows[j].data(), ev.digits[j], ev.selected.data(), ctx.width);
        for (Evaluation& ev : evs) ifma_mont_mul8(ctx, ev.acc, ev.selected, ev.acc, ev.scratch);
    }
    std::vector<Values8> out;
    for (Evaluation& ev : evs) out.push_back(ifma_from_mont8(ctx, ev.acc, ev.scratch));
    return out;
}

Values8 pow_fixed8(const IfmaFixedBaseTable& table, const Digits8& digits) {
    return std::move(pow_fixed8_many(table, std::span(&digits, 1)).front());
}

}  // namespace hecrypt
