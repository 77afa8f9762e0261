// Eight numbers side by side in 52-bit digits, the layout the IFMA kernels
// work on.
//
// Digit i of lane l sits at DigitVector i, word l: flat index 8 i + l. One
// 64-byte aligned DigitVector is one 512-bit register, digit i of all eight
// lanes, so the kernels never shuffle. Digits are below 2^52 between
// operations; only the kernels' scratch holds wider column sums.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/support/bigint.hpp"

namespace hecrypt {

constexpr unsigned IFMA_DIGIT_BITS = 52;
constexpr std::uint64_t IFMA_DIGIT_MASK = (std::uint64_t{1} << IFMA_DIGIT_BITS) - 1;
constexpr std::size_t IFMA_LANES = 8;

struct alignas(64) DigitVector {
    std::uint64_t lane[IFMA_LANES];
};

// Lanes hold secrets often enough (powers, exponents, p^2 and q^2) that all
// of them are wiped when freed. The allocator honours DigitVector's 64-byte
// alignment.
using Lanes8 = WipedVector<DigitVector>;
using LaneView = std::span<const DigitVector>;
using LaneSpan = std::span<DigitVector>;

// One number per lane, in GMP's form; secret often enough (powers, p^2 and
// q^2, masks) that every one wipes itself.
using Values8 = std::array<WipedInteger, IFMA_LANES>;

// Writes x >= 0 into one lane of `v`, zero-padded; faults when it needs more
// digits than `v` has.
void write_lane(LaneSpan v, std::size_t lane, const mpz_class& x);

// The value of one lane. Its size is found by mask over every limb, so a
// secret's length is not revealed here.
mpz_class read_lane(LaneView v, std::size_t lane);

// The same digits in every lane.
Lanes8 broadcast_digits(std::span<const std::uint64_t> digits);

// x >= 0 as `width` digits of 52 bits; faults when it does not fit.
std::vector<std::uint64_t> digits_of(const mpz_class& x, std::size_t width);

}  // namespace hecrypt
