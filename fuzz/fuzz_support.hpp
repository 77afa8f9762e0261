// Shared by the fuzz targets: invariant checks that abort with a readable
// report (libFuzzer then keeps the input as a crash), and reference versions
// of the byte conversions written independently of the core's own.
#pragma once

#include <gmpxx.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hecrypt::fuzz {

[[noreturn]] inline void broken(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
    std::abort();
}

inline void require(bool condition, const char* what) {
    if (!condition) broken(what);
}

inline void require_equal(const std::string& got, const std::string& want, const char* what) {
    if (got != want) broken(std::string(what) + "\n  got:  " + got + "\n  want: " + want);
}

// `outcome` refused with `expected`, or accepted when nothing is expected:
// both as one text, so that either is checked the same way.
template <class Outcome>
void require_refusal(const Outcome& outcome, const std::optional<std::string>& expected,
                     const char* what) {
    require_equal(outcome.ok() ? "accepted" : outcome.refusal(), expected.value_or("accepted"),
                  what);
}

// Digits with an optional '-': "0", never "-0" or "007".
inline bool is_canonical_integer(const std::string& text) {
    const std::size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == start || text.find_first_not_of("0123456789", start) != std::string::npos)
        return false;
    return text[start] != '0' || text.size() == 1;
}

// The unsigned big-endian integer of `bytes`, one byte at a time.
inline mpz_class integer_of(std::span<const std::uint8_t> bytes) {
    mpz_class x = 0;
    for (std::uint8_t b : bytes) x = (x << 8) + b;
    return x;
}

// `bytes` without its leading zero bytes.
inline std::vector<std::uint8_t> without_leading_zeros(std::span<const std::uint8_t> bytes) {
    std::size_t first = 0;
    while (first < bytes.size() && bytes[first] == 0) ++first;
    return {bytes.begin() + static_cast<std::ptrdiff_t>(first), bytes.end()};
}

// `written` is `input` in minimal form: its first `header` bytes as they
// were, then the integer after them without its leading zero bytes.
inline void require_minimal_rewrite(const std::vector<std::uint8_t>& written,
                                    std::span<const std::uint8_t> input, std::size_t header) {
    const std::vector<std::uint8_t> minimal = without_leading_zeros(input.subspan(header));
    const auto digits = written.begin() + static_cast<std::ptrdiff_t>(header);
    require(written.size() == header + minimal.size(), "written blob is not minimal");
    require(std::equal(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(header),
                       written.begin()),
            "written blob changed the header");
    require(std::equal(minimal.begin(), minimal.end(), digits),
            "written blob is not the input's integer");
}

}  // namespace hecrypt::fuzz
