// A fuzzed batch against a fixed 2048-bit key: add_blocks, add_many over each
// block, decrypt_many and rerandomize, each held to a model of its refusals
// (which checks run, in which phase, with which words; a parallel phase
// reports its lowest failing item) and, where the plaintexts are known, to
// the values the results must decrypt to.
//
// Input, as FuzzedDataProvider reads it: a blob count, then per blob a kind
// byte that picks raw fuzzed bytes, a textbook encryption of a chosen
// plaintext, or an integer at the edge of a check (0, 1, n, n + 1, p, n^2 - 1,
// n^2, ...), the latter two followed by a scale byte and a count of leading
// zero bytes; then a block count and per block a length byte and one index
// byte per entry. Sizes are capped: 2048-bit arithmetic is the cost, so most
// inputs are refused cheaply and decryptions are rationed.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "../tests/core/key_fixtures.hpp"
#include "core/encoding/blob.hpp"
#include "core/encoding/fixed_point.hpp"
#include "core/ops/ops.hpp"
#include "fuzz_support.hpp"

using namespace hecrypt;
using namespace hecrypt::fuzz;

namespace {

constexpr std::size_t MAX_BLOBS = 6;
constexpr std::size_t MAX_BLOCKS = 4;
constexpr std::size_t MAX_BLOCK_LENGTH = 5;
constexpr std::size_t MAX_RAW_BYTES = 48;
// Per input, the 2048-bit work that is not refused cheaply: exact decryptions
// of the batch, decryptions of known results, and re-randomised blobs (the
// costliest, a 171-digit table evaluation each).
constexpr std::size_t MAX_DECRYPTIONS = 1;
constexpr std::size_t MAX_PROBES = 2;
constexpr std::size_t MAX_RERANDOMIZED = 1;
constexpr std::uint8_t OVERSIZED_BLOCK = 255;  // length byte for a block past the headroom

const std::string EMPTY_SUM_TAIL =
    ": an empty sum has no encryption under this key, and returning one would be a ciphertext "
    "of zero that nobody asked for";
const std::string MIXED_SCALE_TAIL =
    ": adding them would produce a plausible wrong number, and rescaling is impossible on "
    "encrypted values";

// A ciphertext integer and, when it is one under the key, its plaintext.
struct Known {
    mpz_class c;
    std::optional<mpz_class> m;
};

struct Fixture {
    const KeyPair& keys;
    mpz_class n, n_squared;
    std::vector<Known> pool;
    std::vector<Known> edges;
};

Fixture make_fixture() {
    const KeyPair& keys = testing::known_keypair_2048();
    const mpz_class n = keys.public_key.n, n2 = n * n, half = (n - 1) / 2;
    const mpz_class big = mpz_class(1) << 1100;  // past any double
    Fixture f{keys, n, n2, {}, {}};
    const mpz_class plaintexts[] = {0,    1,     -1,  2,   -3, mpz_class("12345678901234567"),
                                    half, -half, big, -big};
    unsigned long x = 0x9e3779b9;
    for (const mpz_class& m : plaintexts)
        f.pool.push_back({testing::textbook_encrypt(n, m, x++), m});
    const mpz_class& p = keys.secret_key.p;
    f.edges = {{0, std::nullopt},  {1, 0},
               {n, std::nullopt},  {n + 1, 1},
               {n2 - n + 1, -1},   {n2 - 1, 0},
               {n2, std::nullopt}, {n2 + 1, std::nullopt},
               {p, std::nullopt},  {2 * n, std::nullopt}};
    return f;
}

const Fixture& fixture() {
    static const Fixture f = make_fixture();
    return f;
}

// One blob of the batch, its parse and, when known, its plaintext.
struct Item {
    Bytes bytes;
    Outcome<ParsedBlob> parsed;
    std::optional<mpz_class> m;

    Item(Bytes b, std::optional<mpz_class> plaintext)
        : bytes(std::move(b)), parsed(parse_blob(bytes)), m(std::move(plaintext)) {}
    bool in_range() const {
        return parsed.ok() && parsed.value().ciphertext >= 1 &&
               parsed.value().ciphertext < fixture().n_squared;
    }
    bool decryptable() const {
        return in_range() && gcd(parsed.value().ciphertext, fixture().n) == 1;
    }
};

using Terms = std::vector<const Item*>;

std::uint8_t scale_of(std::uint8_t choice) {
    if (choice < 128) return 0;
    if (choice < 192) return 8;
    return choice < 250 ? choice % 19 : choice;  // 250..255: above the limit
}

Item read_item(FuzzedDataProvider& in) {
    const auto kind = in.ConsumeIntegral<std::uint8_t>();
    if (kind % 3 == 0) {
        const std::string raw = in.ConsumeRandomLengthString(MAX_RAW_BYTES);
        return Item(Bytes(raw.begin(), raw.end()), std::nullopt);
    }
    const std::vector<Known>& table = kind % 3 == 1 ? fixture().pool : fixture().edges;
    const Known& known = table[(kind / 3) % table.size()];
    Bytes bytes{scale_of(in.ConsumeIntegral<std::uint8_t>())};
    bytes.resize(1 + in.ConsumeIntegralInRange<std::size_t>(0, 2), 0);
    const Bytes digits = to_bytes_be(known.c);
    bytes.insert(bytes.end(), digits.begin(), digits.end());
    return Item(std::move(bytes), known.m);
}

std::uint64_t read_index(FuzzedDataProvider& in, std::size_t blob_count) {
    const auto choice = in.ConsumeIntegral<std::uint8_t>();
    if (choice < 0xF0) return choice % (blob_count + 1);  // blob_count itself is one past
    return choice == 0xFF ? std::numeric_limits<std::uint64_t>::max() : blob_count + choice;
}

std::vector<Block> read_blocks(FuzzedDataProvider& in, std::size_t blob_count) {
    std::vector<Block> blocks(in.ConsumeIntegralInRange<std::size_t>(0, MAX_BLOCKS));
    for (Block& block : blocks) {
        const auto length = in.ConsumeIntegral<std::uint8_t>();
        if (length == OVERSIZED_BLOCK) {
            block.assign(SUM_HEADROOM_TERMS + 1, 0);
            continue;
        }
        block.resize(length % (MAX_BLOCK_LENGTH + 1));
        for (auto& index : block) index = read_index(in, blob_count);
    }
    return blocks;
}

std::string label(std::size_t position) { return "ciphertext #" + std::to_string(position); }
std::string scale_text(unsigned s) { return "1e" + std::to_string(s); }

std::string sum_range_refusal(std::size_t position) {
    return label(position) +
           " is not in [1, n^2) of this key: a valid ciphertext is an invertible residue "
           "modulo n^2, and this one is not";
}

std::string parse_refusal(std::size_t position, const Item& item) {
    return label(position) + ": " + item.parsed.refusal();
}

mpz_class signed_residue(const mpz_class& m) {
    const mpz_class& n = fixture().n;
    mpz_class r;
    mpz_fdiv_r(r.get_mpz_t(), m.get_mpz_t(), n.get_mpz_t());
    return r > n / 2 ? mpz_class(r - n) : r;
}

// The sum blob of `terms`, all parsed: their product modulo n^2.
Bytes expected_sum(const Terms& terms) {
    mpz_class acc = 1;
    for (const Item* term : terms)
        acc = acc * term->parsed.value().ciphertext % fixture().n_squared;
    Bytes out{terms.front()->parsed.value().scale};
    const Bytes digits = to_bytes_be(acc);
    out.insert(out.end(), digits.begin(), digits.end());
    return out;
}

// The plaintext of the sum of `terms`, when every term's is known.
std::optional<mpz_class> expected_plaintext(const Terms& terms) {
    mpz_class total = 0;
    for (const Item* term : terms) {
        if (!term->m) return std::nullopt;
        total += *term->m;
    }
    return signed_residue(total);
}

std::string add_many_limit_refusal(std::size_t k) {
    return "add_many takes at most 1048576 ciphertexts per call, got " + std::to_string(k) +
           ": past that the reserved headroom stops covering the sum. This is a per-call limit, "
           "not a guarantee - chaining calls escapes it, and what actually keeps sums in range is "
           "the gap between the key floor and the f64 range";
}

std::optional<std::string> add_many_refusal(const Terms& terms) {
    if (terms.empty()) return "add_many needs at least one ciphertext" + EMPTY_SUM_TAIL;
    for (std::size_t i = 0; i < terms.size(); ++i) {
        const Item& term = *terms[i];
        if (!term.parsed.ok()) return parse_refusal(i + 1, term);
        const unsigned s = term.parsed.value().scale, t = terms[0]->parsed.value().scale;
        if (s != t)
            return label(i + 1) + " was encoded with scale " + scale_text(s) +
                   " while the sum started at " + scale_text(t) + MIXED_SCALE_TAIL;
        if (!term.in_range()) return sum_range_refusal(i + 1);
    }
    return std::nullopt;
}

// The refusal add_blocks must give: the first failing block of the index
// check, else the lowest unparsable referenced blob, else the first block
// that mixes scales.
std::optional<std::string> add_blocks_refusal(const std::vector<Item>& items,
                                              const std::vector<Block>& blocks) {
    std::vector<bool> referenced(items.size());
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        const std::string block = "block #" + std::to_string(j + 1);
        if (blocks[j].empty()) return {block + " is empty" + EMPTY_SUM_TAIL};
        if (blocks[j].size() > SUM_HEADROOM_TERMS)
            return {block + " holds " + std::to_string(blocks[j].size()) +
                    " ciphertexts, at most 1048576 per sum: past that the reserved headroom "
                    "stops covering the sum"};
        for (std::size_t p = 0; p < blocks[j].size(); ++p) {
            if (blocks[j][p] >= items.size())
                return {block + " names index " + std::to_string(blocks[j][p]) + " at position " +
                        std::to_string(p + 1) + ", and only " + std::to_string(items.size()) +
                        " ciphertexts were given"};
            referenced[blocks[j][p]] = true;
        }
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!referenced[i]) continue;
        if (!items[i].parsed.ok()) return parse_refusal(i + 1, items[i]);
        if (!items[i].in_range()) return sum_range_refusal(i + 1);
    }
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        const unsigned t = items[blocks[j][0]].parsed.value().scale;
        for (std::size_t p = 1; p < blocks[j].size(); ++p) {
            const unsigned s = items[blocks[j][p]].parsed.value().scale;
            if (s != t)
                return "block #" + std::to_string(j + 1) + " mixes scale " + scale_text(s) +
                       " at position " + std::to_string(p + 1) + " into a sum started at " +
                       scale_text(t) + MIXED_SCALE_TAIL;
        }
    }
    return std::nullopt;
}

std::optional<Terms> terms_of(const std::vector<Item>& items, const Block& block) {
    Terms terms;
    for (std::uint64_t index : block) {
        if (index >= items.size()) return std::nullopt;
        terms.push_back(&items[index]);
    }
    return terms;
}

std::vector<ByteView> views_of(const Terms& terms) {
    std::vector<ByteView> views;
    for (const Item* term : terms) views.emplace_back(term->bytes);
    return views;
}

// A blob to decrypt and the plaintext it must give.
struct Probe {
    Bytes blob;
    mpz_class m;
};

// Decrypts known results (their scale byte set to 0, since decrypt_many only
// reads exact integers) and compares with the model's plaintexts.
void check_plaintexts(const std::vector<Probe>& probes) {
    std::vector<ByteView> views;
    for (const Probe& probe : probes) views.emplace_back(probe.blob);
    const auto texts = decrypt_many(fixture().keys.secret_key, views);
    require_refusal(texts, {}, "decrypt_many of known results");
    for (std::size_t i = 0; i < probes.size(); ++i)
        require_equal(texts.value()[i], probes[i].m.get_str(), "plaintext of a known result");
}

void add_probe(std::vector<Probe>& probes, Bytes blob, const std::optional<mpz_class>& m) {
    if (!m || probes.size() == MAX_PROBES) return;
    blob[0] = 0;
    probes.push_back({std::move(blob), *m});
}

Outcome<Bytes> checked_add_many(const Terms& terms) {
    const std::vector<ByteView> views = views_of(terms);
    Outcome<Bytes> sum = add_many(fixture().keys.public_key, views);
    require_refusal(sum, add_many_refusal(terms), "add_many");
    if (sum.ok())
        require(sum.value() == expected_sum(terms), "add_many is not the product of its terms");
    return sum;
}

// A sum past the headroom is refused before any blob is read, so empty views
// can stand in for the block's blobs (reading one would change the refusal).
void check_oversized_add_many() {
    static const std::vector<ByteView> views(SUM_HEADROOM_TERMS + 1);
    require_refusal(add_many(fixture().keys.public_key, views),
                    {add_many_limit_refusal(views.size())}, "add_many");
}

void check_sums(const std::vector<Item>& items, const std::vector<Block>& blocks,
                std::vector<Probe>& probes) {
    std::vector<ByteView> views;
    for (const Item& item : items) views.emplace_back(item.bytes);
    const auto sums = add_blocks(fixture().keys.public_key, views, blocks);
    require_refusal(sums, add_blocks_refusal(items, blocks), "add_blocks");
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        if (blocks[j].size() > SUM_HEADROOM_TERMS) {
            check_oversized_add_many();
            continue;
        }
        const std::optional<Terms> terms = terms_of(items, blocks[j]);
        if (!terms) continue;
        const Outcome<Bytes> alone = checked_add_many(*terms);
        if (!sums.ok()) continue;
        require(alone.ok() && alone.value() == sums.value()[j],
                "add_blocks result differs from add_many of the block");
        add_probe(probes, sums.value()[j], expected_plaintext(*terms));
    }
}

// Runs a parallel batch call on the longest prefix of `items` in which at
// most `limit` items are `costly` (the part of the batch an expensive call is
// given). It must refuse as the first item that is unparsable, or for which
// `refused(item)` says why, and otherwise give one result per item.
template <class Costly, class Refused, class Call>
auto checked_batch(const char* name, const std::vector<Item>& items, std::size_t limit,
                   Costly costly, Refused refused, Call call) {
    std::vector<ByteView> views;
    std::optional<std::string> refusal;
    for (std::size_t i = 0, spent = 0; i < items.size(); ++i) {
        if (costly(items[i]) && ++spent > limit) break;
        views.emplace_back(items[i].bytes);
        if (refusal) continue;
        if (!items[i].parsed.ok()) {
            refusal = parse_refusal(i + 1, items[i]);
        } else if (const std::optional<std::string> why = refused(items[i])) {
            refusal = label(i + 1) + *why;
        }
    }
    auto results = call(views);
    require_refusal(results, refusal, name);
    require(!results.ok() || results.value().size() == views.size(), "lost or added results");
    return results;
}

void check_decrypt_many(const std::vector<Item>& items) {
    const auto texts = checked_batch(
        "decrypt_many", items, MAX_DECRYPTIONS,
        [](const Item& item) { return item.decryptable() && item.parsed.value().scale == 0; },
        [](const Item& item) -> std::optional<std::string> {
            if (const unsigned s = item.parsed.value().scale; s != 0)
                return " carries scale " + scale_text(s) +
                       ": an exact decryption returns the plaintext integer, and a scale would "
                       "divide it back into a float";
            if (!item.decryptable()) return " is not one under this key";
            return std::nullopt;
        },
        [](const auto& views) { return decrypt_many(fixture().keys.secret_key, views); });
    if (!texts.ok()) return;
    for (std::size_t i = 0; i < texts.value().size(); ++i) {
        require(is_canonical_integer(texts.value()[i]), "decrypt_many result is not an integer");
        if (items[i].m)
            require_equal(texts.value()[i], signed_residue(*items[i].m).get_str(),
                          "decrypt_many of a known plaintext");
    }
}

void check_rerandomize(const std::vector<Item>& items, std::vector<Probe>& probes) {
    const auto fresh = checked_batch(
        "rerandomize", items, MAX_RERANDOMIZED, [](const Item& item) { return item.in_range(); },
        [](const Item& item) -> std::optional<std::string> {
            if (item.in_range()) return std::nullopt;
            return " is not in [1, n^2) of this key";
        },
        [](const auto& views) { return rerandomize(fixture().keys.public_key, views); });
    if (!fresh.ok()) return;
    for (std::size_t i = 0; i < fresh.value().size(); ++i) {
        const Bytes& out = fresh.value()[i];
        require(out[0] == items[i].bytes[0], "rerandomize changed the scale byte");
        require(out.size() == 1 || out[1] != 0, "rerandomize wrote a blob that is not minimal");
        const mpz_class c = integer_of(ByteView(out).subspan(1));
        require(c >= 1 && c < fixture().n_squared, "rerandomize left [1, n^2)");
        require(gcd(c, fixture().n) == gcd(items[i].parsed.value().ciphertext, fixture().n),
                "rerandomize changed the factor shared with n");
        add_probe(probes, out,
                  items[i].m ? std::optional(signed_residue(*items[i].m)) : std::nullopt);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<Item> items;
    const auto blob_count = in.ConsumeIntegralInRange<std::size_t>(0, MAX_BLOBS);
    for (std::size_t i = 0; i < blob_count; ++i) items.push_back(read_item(in));
    const std::vector<Block> blocks = read_blocks(in, items.size());
    std::vector<Probe> probes;
    check_sums(items, blocks, probes);
    check_decrypt_many(items);
    check_rerandomize(items, probes);
    if (!probes.empty()) check_plaintexts(probes);
    return 0;
}
