// parse_blob on arbitrary bytes: it accepts exactly the non-empty inputs
// whose first byte is a scale of at most 18, and writing the parsed blob back
// gives the input in minimal form (leading zero bytes of the integer dropped).
#include <cstddef>
#include <cstdint>

#include "core/encoding/blob.hpp"
#include "core/encoding/fixed_point.hpp"
#include "fuzz_support.hpp"

using namespace hecrypt;
using namespace hecrypt::fuzz;

namespace {

void check_refusal(const Outcome<ParsedBlob>& parsed, ByteView input) {
    if (input.empty())
        return require_equal(parsed.refusal(),
                             "ciphertext is empty: it must start with a scale exponent byte",
                             "refusal of the empty blob");
    require_equal(parsed.refusal(),
                  "scale exponent " + std::to_string(input[0]) +
                      " is above the 18 this encoding allows: past that even a value of one "
                      "has no exact f64 representation once scaled",
                  "refusal of a scale above the limit");
}

void check_written(const ParsedBlob& blob, ByteView input) {
    const Bytes written = write_blob(blob.scale, blob.ciphertext);
    require_minimal_rewrite(written, input, 1);
    const Outcome<ParsedBlob> again = parse_blob(written);
    require(again.ok() && again.value().scale == blob.scale &&
                again.value().ciphertext == blob.ciphertext,
            "written blob does not parse back to the same blob");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView input(data, size);
    const Outcome<ParsedBlob> parsed = parse_blob(input);
    require(parsed.ok() == (size > 0 && data[0] <= MAX_SCALE_POW10),
            "accepted a blob it must refuse, or refused one it must accept");
    if (!parsed.ok()) {
        check_refusal(parsed, input);
        return 0;
    }
    require(parsed.value().scale == data[0], "parsed scale is not the first byte");
    require(parsed.value().ciphertext == integer_of(input.subspan(1)),
            "parsed integer is not the big-endian value of the remaining bytes");
    check_written(parsed.value(), input);
    return 0;
}
