// Comparing two engines' answers to one call: the same value, or the same
// refusal word for word.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "core/support/bigint.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt::testing {

inline std::vector<ByteView> views(const std::vector<Bytes>& blobs) {
    return {blobs.begin(), blobs.end()};
}

template <class T>
void expect_same(const Outcome<T>& got, const Outcome<T>& expected) {
    ASSERT_EQ(got.ok(), expected.ok()) << (got.ok() ? expected.refusal() : got.refusal());
    if (expected.ok()) {
        EXPECT_TRUE(got.value() == expected.value());
    } else {
        EXPECT_EQ(got.refusal(), expected.refusal());
    }
}

}  // namespace hecrypt::testing
