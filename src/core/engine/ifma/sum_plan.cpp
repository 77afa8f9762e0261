#include "core/engine/ifma/sum_plan.hpp"

#include <algorithm>
#include <bit>
#include <numeric>

#include "core/engine/ifma/lanes.hpp"

namespace hecrypt {

namespace {

// A block is cut into segments of L to 2L - 1 terms, or kept whole when it
// is shorter. Every segment costs one product more, to join it to the rest
// of its block, and a lane's share of a conversion out of Montgomery form:
// L = MIN_SEGMENT keeps that below a seventh, and L is only shorter when
// the terms would not fill eight lanes otherwise. Past that, L gives about
// TARGET_GROUPS groups, so that the pool has enough pieces to spread the
// work evenly over its workers, up to MAX_SEGMENT: a single block of a
// million terms still makes a few dozen groups.
constexpr std::size_t MIN_SEGMENT = 64;
constexpr std::size_t TARGET_GROUPS = 32;
constexpr std::size_t MAX_SEGMENT = 4096;

std::size_t segment_length(std::size_t terms) {
    const std::size_t eighth = (terms + IFMA_LANES - 1) / IFMA_LANES;  // at most eight segments
    const std::size_t shortest = std::min(MIN_SEGMENT, eighth);
    return std::clamp(terms / (IFMA_LANES * TARGET_GROUPS), shortest, MAX_SEGMENT);
}

std::size_t reverse_bits(std::size_t x, unsigned bits) {
    std::size_t r = 0;
    for (unsigned b = 0; b < bits; ++b) r |= ((x >> b) & 1) << (bits - 1 - b);
    return r;
}

// 0 to count - 1 in bit-reversed order: neighbours land far apart, and any
// run of consecutive positions takes about its share of every stretch.
std::vector<std::size_t> spread(std::size_t count) {
    const unsigned bits = static_cast<unsigned>(std::bit_width(count - 1));
    std::vector<std::size_t> order;
    order.reserve(count);
    for (std::size_t p = 0; order.size() < count; ++p)
        if (const std::size_t r = reverse_bits(p, bits); r < count) order.push_back(r);
    return order;
}

}  // namespace

SumPlan plan_sums(std::span<const Block> blocks) {
    std::size_t terms = 0;
    for (const Block& block : blocks) terms += block.size();
    const std::size_t length = segment_length(terms);
    SumPlan plan;
    plan.first.reserve(blocks.size() + 1);
    for (const Block& block : blocks) {
        plan.first.push_back(plan.segments.size());
        const std::size_t s = std::max<std::size_t>(1, block.size() / length);
        for (std::size_t q = 0; q < s; ++q) {
            const std::size_t begin = q * block.size() / s, end = (q + 1) * block.size() / s;
            plan.segments.push_back(Segment(block).subspan(begin, end - begin));
        }
    }
    plan.first.push_back(plan.segments.size());
    // Longest first, so the lanes of a group run about equally long; a group
    // lasts as long as its longest segment.
    std::vector<std::size_t> by_length(plan.segments.size());
    std::iota(by_length.begin(), by_length.end(), 0);
    std::stable_sort(by_length.begin(), by_length.end(), [&](std::size_t a, std::size_t b) {
        return plan.segments[a].size() > plan.segments[b].size();
    });
    // The pool cuts a stage into runs of consecutive items: spread out, the
    // long groups do not all fall into the first run.
    const std::size_t count = (by_length.size() + IFMA_LANES - 1) / IFMA_LANES;
    for (std::size_t g : spread(count)) {
        const auto begin = by_length.begin() + static_cast<std::ptrdiff_t>(g * IFMA_LANES);
        const auto end = by_length.begin() + static_cast<std::ptrdiff_t>(
                                                 std::min(by_length.size(), (g + 1) * IFMA_LANES));
        plan.groups.emplace_back(begin, end);
    }
    return plan;
}

}  // namespace hecrypt
