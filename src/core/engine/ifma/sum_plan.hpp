// How add_blocks lays its blocks out on the 8-lane engine: each block cut
// into segments of consecutive terms, the segments packed eight to a group,
// one segment to a lane, and the groups ordered for the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/engine/engine.hpp"

namespace hecrypt {

using Segment = std::span<const std::uint64_t>;  // consecutive entries of one block

struct SumPlan {
    // Block j's segments are [first[j], first[j + 1]), in the block's order.
    std::vector<Segment> segments;
    std::vector<std::size_t> first;
    // The segment numbers of each group, at most eight; groups in the order
    // a stage should run them.
    std::vector<std::vector<std::size_t>> groups;
};

// Blocks are not empty.
SumPlan plan_sums(std::span<const Block> blocks);

}  // namespace hecrypt
