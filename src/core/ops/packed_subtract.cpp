#include "core/engine/engine.hpp"
#include "core/ops/packed.hpp"
#include "core/runtime/interrupt.hpp"
#include "plain_forms.hpp"
#include "sum_rules.hpp"

namespace hecrypt::packed {

namespace {

// Pairs that share one inversion: large enough that the inversion costs
// less than a product per pair, small enough to keep both cores busy.
constexpr std::size_t SUBTRACT_GROUP = 256;

struct Pair {
    Layout layout;
    mpz_class minuend, subtrahend;
};

std::string minuend_label(std::size_t position) { return "minuend #" + std::to_string(position); }
std::string subtrahend_label(std::size_t position) {
    return "subtrahend #" + std::to_string(position);
}

Outcome<PackedBlob> operand(ByteView blob, const std::string& label, const PublicKeyRecord& pk,
                            unsigned capacity) {
    Outcome<PackedBlob> parsed = parse_declared(blob, label, capacity);
    if (parsed.ok() && !in_range(parsed.value().ciphertext, pk.n_squared))
        return refuse(label + " is not in [1, n^2) of this key");
    return parsed;
}

// Pair i's own checks: both blobs, then their layouts against each other.
Outcome<Pair> checked_pair(const PublicKeyRecord& pk, ByteView a, ByteView b, std::size_t position,
                           unsigned capacity) {
    Outcome<PackedBlob> minuend = operand(a, minuend_label(position), pk, capacity);
    if (!minuend.ok()) return minuend.take_refusal();
    Outcome<PackedBlob> subtrahend = operand(b, subtrahend_label(position), pk, capacity);
    if (!subtrahend.ok()) return subtrahend.take_refusal();
    const Layout& first = minuend.value().layout;
    const Layout& second = subtrahend.value().layout;
    if (first.slots == second.slots && first.slot_bits == second.slot_bits &&
        first.scale != second.scale)
        return refuse(subtrahend_label(position) + " was encoded with scale " +
                      scale_text(second.scale) + " while " + minuend_label(position) + " was at " +
                      scale_text(first.scale) +
                      ": subtracting them would produce a plausible wrong number, and rescaling "
                      "is impossible on encrypted values");
    if (first != second)
        return refuse(subtrahend_label(position) + " holds " + describe_shape(second) + " while " +
                      minuend_label(position) + " holds " + describe_shape(first) +
                      ": subtracting them would put values into the wrong slots");
    return Pair{first, std::move(minuend.value().ciphertext),
                std::move(subtrahend.value().ciphertext)};
}

// The subtrahends' inverses, or the refusal of the first that has none.
Outcome<std::vector<mpz_class>> inverses(const std::vector<Pair>& pairs, std::size_t begin,
                                         const PublicKeyRecord& pk) {
    std::vector<mpz_class> xs;
    xs.reserve(pairs.size());
    for (const Pair& pair : pairs) xs.push_back(pair.subtrahend);
    if (pk.engine->invert_all(xs)) return xs;
    for (std::size_t i = 0;; ++i)
        if (!coprime_with(pairs[i].subtrahend, pk.n))
            return refuse(subtrahend_label(begin + i + 1) +
                          " has no inverse modulo n^2 of this key: it shares a factor with n, "
                          "so no difference with it exists");
}

// The differences of pairs [begin, end), or the lowest refusal among them:
// the pairs before the first that fails its own checks are inverted together.
Outcome<std::vector<Bytes>> subtract_group(const PublicKeyRecord& pk, Blobs minuends,
                                           Blobs subtrahends, std::size_t begin, std::size_t end,
                                           unsigned capacity) {
    std::vector<Pair> pairs;
    std::optional<Refusal> failed;
    for (std::size_t i = begin; i < end && !failed; ++i) {
        Outcome<Pair> pair = checked_pair(pk, minuends[i], subtrahends[i], i + 1, capacity);
        if (pair.ok())
            pairs.push_back(std::move(pair.value()));
        else
            failed = pair.take_refusal();
    }
    checkpoint();
    Outcome<std::vector<mpz_class>> inverse = inverses(pairs, begin, pk);
    if (!inverse.ok()) return inverse.take_refusal();
    if (failed) return std::move(*failed);
    std::vector<Bytes> out;
    out.reserve(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        mul_mod_vartime(inverse.value()[i], pairs[i].minuend, pk.n_squared);
        out.push_back(write_packed(pairs[i].layout, inverse.value()[i]));
    }
    return out;
}

}  // namespace

Outcome<std::vector<Bytes>> subtract(const PublicKeyRecord& pk, Blobs minuends, Blobs subtrahends) {
    if (minuends.size() != subtrahends.size())
        return refuse("subtract takes one subtrahend per minuend: got " +
                      std::to_string(minuends.size()) + " minuends and " +
                      std::to_string(subtrahends.size()) + " subtrahends");
    const unsigned capacity = packed_capacity_bits(pk.n);
    return parallel_map_groups<Bytes>(
        minuends.size(), SUBTRACT_GROUP, [&](std::size_t begin, std::size_t end) {
            return subtract_group(pk, minuends, subtrahends, begin, end, capacity);
        });
}

}  // namespace hecrypt::packed
