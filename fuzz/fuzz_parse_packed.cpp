// parse_packed on arbitrary bytes: a blob without the marker reads as
// parse_blob reads it; one with the marker is accepted exactly when its
// header is whole and declares a scale of at most 18, at least one slot and
// slots of at least MIN_SLOT_BITS, and it writes back to the input in
// minimal form. The same bytes, taken as a signed integer and a layout,
// check balanced_slots against digits peeled off one by one.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/encoding/blob.hpp"
#include "core/encoding/fixed_point.hpp"
#include "core/encoding/packed.hpp"
#include "fuzz_support.hpp"

using namespace hecrypt;
using namespace hecrypt::fuzz;

namespace {

unsigned field(ByteView input, std::size_t at) { return input[at] * 256u + input[at + 1]; }

bool well_formed(ByteView input) {
    if (input.empty() || input[0] != PACKED_MARKER)
        return !input.empty() && input[0] <= MAX_SCALE_POW10;
    return input.size() >= PACKED_HEADER_BYTES && input[1] <= MAX_SCALE_POW10 &&
           field(input, 2) >= 1 && field(input, 4) >= MIN_SLOT_BITS;
}

void check_written(const PackedBlob& blob, ByteView input) {
    const bool packed = input[0] == PACKED_MARKER;
    require(blob.layout.plain() != packed, "a plain blob read as packed, or the reverse");
    const std::size_t header = packed ? PACKED_HEADER_BYTES : 1;
    require(blob.ciphertext == integer_of(input.subspan(header)),
            "parsed integer is not the big-endian value of the bytes after the header");
    require_minimal_rewrite(write_packed(blob.layout, blob.ciphertext), input, header);
}

// Digits in [-2^(w-1), 2^(w-1)) taken off m from the bottom, or nothing
// when more than `slots` are needed.
std::optional<std::vector<mpz_class>> peeled(mpz_class m, unsigned slots, unsigned w) {
    const mpz_class base = mpz_class(1) << w, half = mpz_class(1) << (w - 1);
    std::vector<mpz_class> digits;
    for (unsigned j = 0; j < slots; ++j) {
        mpz_class d;
        mpz_fdiv_r(d.get_mpz_t(), m.get_mpz_t(), base.get_mpz_t());
        if (d >= half) d -= base;
        digits.push_back(d);
        m = (m - d) / base;
    }
    if (m != 0) return std::nullopt;
    return digits;
}

// Bytes 0-3 pick the layout, byte 4 the sign, the rest the magnitude; n is
// a fixed odd 2048-bit number, all balanced_slots looks at is its length.
void check_digits(ByteView input) {
    if (input.size() < 5) return;
    static const mpz_class n = (mpz_class(1) << 2047) + 0x9e3779b9;
    const unsigned capacity = static_cast<unsigned>(bit_length(n)) - 1;
    const unsigned w = MIN_SLOT_BITS + field(input, 0) % (capacity - MIN_SLOT_BITS + 1);
    const unsigned slots = 1 + field(input, 2) % (capacity / w);
    mpz_class m = integer_of(input.subspan(5)) % (n / 2);
    if (input[4] & 1) m = -m;
    const auto got = balanced_slots(m, n, slots, w);
    const auto want = peeled(m, slots, w);
    require(got.has_value() == want.has_value(), "balanced_slots disagrees on a carry");
    if (got) require(std::ranges::equal(*got, *want), "balanced_slots gave other digits");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    const Outcome<PackedBlob> parsed = parse_packed(input);
    require(parsed.ok() == well_formed(input),
            "accepted a blob it must refuse, or refused one it must accept");
    if (parsed.ok()) check_written(parsed.value(), input);
    check_digits(input);
    return 0;
}
