// Comparing two engines' answers to one call: the same value, or the same
// refusal word for word; and a refusal's opening words.
#pragma once

#include <gtest/gtest.h>

#include <string>
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

template <class T>
void expect_refused(const Outcome<T>& got, const std::string& opening) {
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.refusal().rfind(opening, 0), 0u) << got.refusal();
}

}  // namespace hecrypt::testing
