#include "../ops.hpp"
#include "../runtime/pool.hpp"
#include "terms.hpp"

namespace hecrypt {

Outcome<std::vector<Bytes>> rerandomize(const PublicKeyRecord& pk, Blobs blobs) {
    auto parse = [&](std::size_t i) {
        return parse_in_range(blobs[i], i + 1, pk.n_squared, RangeWording::Plain);
    };
    if (pk.table8) {
        return masked_in_groups<ParsedBlob>(pk, blobs.size(), parse,
                                            [&](ParsedBlob& parsed, const mpz_class& mask) {
                                                mpz_class c = mask;
                                                mul_mod_vartime(c, parsed.ciphertext, pk.n_squared);
                                                return write_blob(parsed.scale, c);
                                            });
    }
    return parallel_map<Bytes>(blobs.size(), [&](std::size_t i) -> Outcome<Bytes> {
        Outcome<ParsedBlob> parsed = parse(i);
        if (!parsed.ok()) return parsed.take_refusal();
        mpz_class mask = random_mask(pk);
        mul_mod_vartime(mask, parsed.value().ciphertext, pk.n_squared);
        return write_blob(parsed.value().scale, mask);
    });
}

}  // namespace hecrypt
