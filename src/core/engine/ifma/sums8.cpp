#include "core/engine/ifma/sums8.hpp"

#include <algorithm>

#include "core/engine/ifma/convert.hpp"
#include "core/engine/ifma/sum_plan.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/pool.hpp"

namespace hecrypt {

namespace {

// Measured at 2048 and 3072 bits: the portable loop is ahead below these.
constexpr std::size_t ADD_MANY8_MIN_TERMS = 24;
constexpr std::size_t ADD_BLOCKS8_MIN_PRODUCTS = 16;

void load_lane(LaneSpan v, std::size_t lane, const std::uint64_t* digits) {
    for (std::size_t i = 0; i < v.size(); ++i) v[i].lane[lane] = digits[i];
}

void copy_lane(LaneSpan v, std::size_t lane, LaneView from) {
    for (std::size_t i = 0; i < v.size(); ++i) v[i].lane[lane] = from[i].lane[lane];
}

// The terms the blocks name, each put in Montgomery form once as k digits,
// ready to be gathered into any lane. One
// buffer for all: the memory stays with the allocator from call to call,
// where many small rows went back to the system and faulted in again.
struct Rows {
    std::size_t width = 0;
    std::vector<std::uint64_t> digits;  // row r at [r k, (r + 1) k)
    std::vector<std::size_t> row_of;    // of each named term

    const std::uint64_t* of_blob(std::size_t i) const { return digits.data() + row_of[i] * width; }
};

// Converted by one product for eight of them.
Rows named_rows(const IfmaContext& ctx, std::span<const mpz_class* const> terms) {
    Rows rows{ctx.width, {}, std::vector<std::size_t>(terms.size())};
    std::vector<std::size_t> named;
    for (std::size_t i = 0; i < terms.size(); ++i) {
        if (terms[i] == nullptr) continue;
        rows.row_of[i] = named.size();
        named.push_back(i);
    }
    rows.digits.resize(named.size() * ctx.width);
    // Each group writes its own rows.
    auto converted = parallel_map_groups<std::uint8_t>(
        named.size(), IFMA_LANES, [&](std::size_t begin, std::size_t end) {
            Values8 xs;  // idle lanes convert 0
            for (std::size_t r = begin; r < end; ++r) xs[r - begin] = *terms[named[r]];
            IfmaScratch scratch(ctx);
            const Lanes8 mont = ifma_to_mont8(ctx, xs, scratch);
            for (std::size_t r = begin; r < end; ++r)
                for (std::size_t i = 0; i < ctx.width; ++i)
                    rows.digits[r * ctx.width + i] = mont[i].lane[r - begin];
            return std::vector<std::uint8_t>(end - begin);
        });
    converted.value();  // nothing is refused here; a fault was thrown
    return rows;
}

// The product modulo m of each segment of one group, lane l walking segment
// l. A lane whose segment has ended multiplies by R mod m, the Montgomery
// form of 1, until the longest is done.
Values8 group_products(const IfmaContext& ctx, const Rows& rows, std::span<const Segment> segments,
                       std::span<const std::size_t> group) {
    std::array<Segment, IFMA_LANES> lanes{};  // lanes past the group stay empty
    std::size_t steps = 0;
    for (std::size_t l = 0; l < group.size(); ++l) {
        lanes[l] = segments[group[l]];
        steps = std::max(steps, lanes[l].size());
    }
    IfmaScratch scratch(ctx);
    Lanes8 acc = ctx.one, operand(ctx.width);
    for (std::size_t s = 0; s < steps; ++s) {
        checkpoint();
        for (std::size_t l = 0; l < IFMA_LANES; ++l) {
            if (s < lanes[l].size()) {
                load_lane(operand, l, rows.of_blob(lanes[l][s]));
            } else if (s == lanes[l].size()) {
                copy_lane(operand, l, ctx.one);  // and it stays there
            }
        }
        ifma_mont_mul8(ctx, acc, operand, acc, scratch);
    }
    return ifma_from_mont8(ctx, acc, scratch);
}

// Block j's product: the product of its segments' products.
mpz_class join_block(const SumPlan& plan, std::size_t j, std::vector<mpz_class>& products,
                     const mpz_class& m) {
    mpz_class acc = std::move(products[plan.first[j]]);
    for (std::size_t s = plan.first[j] + 1; s < plan.first[j + 1]; ++s)
        mul_mod_vartime(acc, products[s], m);
    return acc;
}

}  // namespace

bool add_many8_pays(std::size_t terms) { return terms >= ADD_MANY8_MIN_TERMS; }

bool add_blocks8_pays(std::size_t terms, std::size_t blocks) {
    // The portable loop makes terms - blocks products; the lanes also pay
    // for every one-term block, which the portable loop merely copies.
    const std::size_t products = terms - blocks;
    return products >= std::max(blocks, ADD_BLOCKS8_MIN_PRODUCTS);
}

Outcome<mpz_class> product8(const IfmaContext& ctx, const mpz_class& m, std::size_t count,
                            const TermReader& read) {
    // Term i goes to lane i mod 8 as it is, not in Montgomery form: each
    // product then leaves a factor R^-1 behind, one per term, and a single
    // R^N mod m puts them all back at the end, where converting the terms
    // would have cost a second product for each.
    IfmaScratch scratch(ctx);
    Lanes8 acc = ctx.one, operand(ctx.width);
    for (std::size_t begin = 0; begin < count; begin += IFMA_LANES) {
        const std::size_t group = std::min(IFMA_LANES, count - begin);
        for (std::size_t l = 0; l < IFMA_LANES; ++l) {
            if (l >= group) {
                copy_lane(operand, l, ctx.one);  // R R^-1: leaves the lane as it is
                continue;
            }
            checkpoint();
            Outcome<mpz_class> c = read(begin + l);
            if (!c.ok()) return c.take_refusal();
            write_lane(operand, l, c.value());
        }
        ifma_mont_mul8(ctx, acc, operand, acc, scratch);
    }
    mpz_class product = (mpz_class(1) << (IFMA_DIGIT_BITS * ctx.width)) % m;
    mpz_powm_ui(product.get_mpz_t(), product.get_mpz_t(), count, m.get_mpz_t());
    for (const mpz_class& lane : ifma_from_mont8(ctx, acc, scratch))
        mul_mod_vartime(product, lane, m);
    return product;
}

std::vector<mpz_class> block_products8(const IfmaContext& ctx, const mpz_class& m,
                                       std::span<const Block> blocks,
                                       std::span<const mpz_class* const> terms) {
    const Rows rows = named_rows(ctx, terms);
    const SumPlan plan = plan_sums(blocks);
    auto groups = parallel_map<Values8>(plan.groups.size(), [&](std::size_t g) {
        return group_products(ctx, rows, plan.segments, plan.groups[g]);
    });
    std::vector<mpz_class> products(plan.segments.size());
    for (std::size_t g = 0; g < plan.groups.size(); ++g)
        for (std::size_t l = 0; l < plan.groups[g].size(); ++l)
            products[plan.groups[g][l]] = std::move(groups.value()[g][l]);
    // Each block touches only its own segments' products.
    auto sums = parallel_map<mpz_class>(
        blocks.size(), [&](std::size_t j) { return join_block(plan, j, products, m); });
    return std::move(sums.value());
}

}  // namespace hecrypt
