#include "core/ops/ops.hpp"
#include "core/runtime/pool.hpp"
#include "terms.hpp"

namespace hecrypt {

Outcome<std::vector<Bytes>> rerandomize(const PublicKeyRecord& pk, Blobs blobs) {
    auto parse = [&](std::size_t i) {
        return parse_in_range(blobs[i], i + 1, pk.n_squared, RangeWording::Plain);
    };
    // c hs^r, the scale byte unchanged.
    auto masked = [&](const ParsedBlob& parsed, mpz_class mask) {
        mul_mod_vartime(mask, parsed.ciphertext, pk.n_squared);
        return write_blob(parsed.scale, mask);
    };
    return masked_in_groups<ParsedBlob>(pk, blobs.size(), parse, masked);
}

}  // namespace hecrypt
