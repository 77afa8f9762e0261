// Pieces shared by the operations: reading one blob of a batch against a
// key, and the fresh randomisers hs^r.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/encoding/blob.hpp"
#include "core/engine/engine.hpp"
#include "core/keys/keys.hpp"
#include "core/runtime/pool.hpp"

namespace hecrypt {

// The words of the range refusal differ between the sums and the others.
enum class RangeWording { Plain, Sum };

// The range refusal of the blob at a 1-based position.
Refusal out_of_range(std::size_t position, RangeWording wording);

// parse_blob plus the range test, refusals labelled with the 1-based position.
Outcome<ParsedBlob> parse_in_range(ByteView blob, std::size_t position, const mpz_class& n_squared,
                                   RangeWording wording);

// The 6-bit digits of a fresh random exponent r of `byte_count` bytes from
// the calling thread's generator; r itself is wiped.
Digits random_digits(std::uint64_t byte_count);

// hs^r mod n^2 for each of `count` <= pk.engine->lanes() items at once, a
// fresh exponent r for each from the calling thread's generator, drawn in
// item order.
std::vector<WipedInteger> random_masks(const PublicKeyRecord& pk, std::size_t count);

// The parallel stage of an operation whose items are checked one by one and
// then computed `group` at a time: check(i) -> Outcome<T> makes item i's own
// checks, and run(std::vector<C>&) -> std::vector<R> computes the results of
// a group whose items all passed, each a C made from its T (a secret one may
// be a type that wipes itself). A group stops at its first refused item, so
// the refusal reported is the lowest refused item's, as when items run one
// by one.
template <class C, class R, class Check, class Run>
Outcome<std::vector<R>> checked_in_groups(std::size_t len, std::size_t group, Check&& check,
                                          Run&& run) {
    return parallel_map_groups<R>(
        len, group, [&](std::size_t begin, std::size_t end) -> Outcome<std::vector<R>> {
            std::vector<C> checked;
            checked.reserve(end - begin);
            for (std::size_t i = begin; i < end; ++i) {
                auto item = check(i);
                if (!item.ok()) return item.take_refusal();
                checked.emplace_back(std::move(item.value()));
            }
            return run(checked);
        });
}

// The parallel stage of an operation that multiplies every item by a fresh
// hs^r: the items of a group of the engine's lanes() that passed check(i)
// get their masks from one evaluation, and finish(C&, const mpz_class& mask)
// -> Bytes gives each result. The masks wipe themselves.
template <class C, class Check, class Finish>
Outcome<std::vector<Bytes>> masked_in_groups(const PublicKeyRecord& pk, std::size_t len,
                                             Check&& check, Finish&& finish) {
    return checked_in_groups<C, Bytes>(
        len, pk.engine->lanes(), check, [&](std::vector<C>& checked) {
            const std::vector<WipedInteger> masks = random_masks(pk, checked.size());
            std::vector<Bytes> results;
            results.reserve(checked.size());
            for (std::size_t l = 0; l < checked.size(); ++l)
                results.push_back(finish(checked[l], masks[l]));
            return results;
        });
}

// "ciphertext #{i}" and "scalar #{i}".
std::string ciphertext_label(std::size_t position);
std::string scalar_label(std::size_t position);

}  // namespace hecrypt
