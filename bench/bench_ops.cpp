// Every operation of the module at the usual key sizes, as the binding runs
// it, next to the plain GMP computation that does the same work for one item,
// measured in the same run. The operations run on the process-wide pool
// (RAYON_NUM_THREADS sets its size) and on whichever engine the keys get
// (HECRYPT_PORTABLE=1 keeps them portable); the references always run on the
// calling thread. bench/report.py runs this binary once per engine and pool
// size, and reads the counters `ifma` and `workers` to check what it got.
#include <benchmark/benchmark.h>

#include <map>
#include <random>
#include <string>

#include "../tests/core/known_primes.hpp"
#include "core/encoding/packed.hpp"
#include "core/engine/engine.hpp"
#include "core/engine/portable/fast.hpp"
#include "core/ops/ops.hpp"
#include "core/ops/packed.hpp"
#include "core/runtime/pool.hpp"

namespace hecrypt {
namespace {

constexpr std::size_t DISTINCT = 64;  // distinct ciphertexts, repeated to fill the batches
constexpr std::size_t TERMS = 2048;   // blobs summed by add_many, indexed by add_blocks
constexpr std::size_t BLOCKS = 32;    // add_blocks' index lists, TERMS / 4 long on average
constexpr std::size_t INPUTS = 16;    // inputs the references cycle over

// The plain GMP references' inputs, as integers.
struct ReferenceInputs {
    mpz_class hs;
    std::vector<mpz_class> exponents;        // as long as the key's random exponents (n/2 bits)
    std::vector<mpz_class> plaintext_terms;  // 1 + m n mod n^2 for random m
    std::vector<mpz_class> ciphertexts;      // encryptions of -32, -31, ... at scale 0
    std::vector<mpz_class> public_scalars;   // 53 bits
    std::vector<mpz_class> secret_scalars;   // 66 bits: the width of the secret-scalar power
};

struct Fixture {
    explicit Fixture(KeyPair k) : keys(std::move(k)) {}

    KeyPair keys;
    std::vector<double> values;   // TERMS values in (-1, 1)
    std::vector<double> scalars;  // TERMS scalars of about 53 bits once encoded at scale 8
    std::vector<Bytes> blobs;     // TERMS encryptions at scale 8, DISTINCT of them different
    std::vector<Bytes> integers;  // DISTINCT encryptions of small integers at scale 0
    std::vector<Bytes> pairs;     // TERMS packed blobs of 2 slots of 64 bits, DISTINCT different
    std::vector<ByteView> views, integer_views, pair_views;
    std::vector<Block> blocks;
    ReferenceInputs reference;
};

template <class T>
T checked(Outcome<T> outcome) {
    if (!outcome.ok()) throw InternalFault("benchmark input refused: " + outcome.refusal());
    return std::move(outcome.value());
}

mpz_class top_bit_set(gmp_randclass& rng, std::size_t bits) {
    return rng.get_z_bits(bits) | (mpz_class(1) << (bits - 1));
}

ReferenceInputs reference_inputs(const Fixture& f, unsigned bits) {
    const PublicKeyRecord& pk = f.keys.public_key;
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(bits);
    ReferenceInputs in;
    in.hs = pk.hs;
    for (std::size_t i = 0; i < INPUTS; ++i) {
        in.exponents.push_back(top_bit_set(rng, pk.exponent_bits()));
        in.plaintext_terms.push_back((1 + rng.get_z_range(pk.n) * pk.n) % pk.n_squared);
        in.ciphertexts.push_back(from_bytes_be(ByteView(f.integers[i]).subspan(1)));
        in.public_scalars.push_back(top_bit_set(rng, 53));
        in.secret_scalars.push_back(top_bit_set(rng, 66));
    }
    return in;
}

// One prime's half of the decryption: L(c^(r-1) mod r^2) h mod r.
mpz_class half_decryption(const mpz_class& c, const mpz_class& r, const mpz_class& r_squared,
                          const mpz_class& r_minus_1, const mpz_class& h) {
    mpz_class x = c % r_squared;
    mpz_powm_sec(x.get_mpz_t(), x.get_mpz_t(), r_minus_1.get_mpz_t(), r_squared.get_mpz_t());
    mpz_divexact(x.get_mpz_t(), mpz_class(x - 1).get_mpz_t(), r.get_mpz_t());
    return x * h % r;
}

// The signed plaintext of c by the CRT over p^2 and q^2.
mpz_class reference_decryption(const SecretKeyRecord& sk, const mpz_class& c) {
    const mpz_class mp = half_decryption(c, sk.p, sk.p_squared, sk.p_minus_1, sk.hp);
    const mpz_class mq = half_decryption(c, sk.q, sk.q_squared, sk.q_minus_1, sk.hq);
    mpz_class h = (mq - mp) * sk.p_inv_q;
    mpz_mod(h.get_mpz_t(), h.get_mpz_t(), sk.q.get_mpz_t());
    const mpz_class m = mp + h * sk.p;
    return m > sk.half_n ? mpz_class(m - sk.n) : m;
}

Fixture make_fixture(unsigned bits) {
    using testing::SAFE_PRIME_1024_1, testing::SAFE_PRIME_1024_2;
    using testing::SAFE_PRIME_1536_1, testing::SAFE_PRIME_1536_2;
    const bool small = bits == 2048;
    const mpz_class p(small ? SAFE_PRIME_1024_1 : SAFE_PRIME_1536_1, 16);
    const mpz_class q(small ? SAFE_PRIME_1024_2 : SAFE_PRIME_1536_2, 16);
    Fixture f(checked(assemble_keypair(p, q)));
    std::mt19937_64 rng(bits);
    std::uniform_real_distribution<double> unit(-1, 1), big(-9e7, 9e7);
    for (std::size_t i = 0; i < TERMS; ++i) {
        f.values.push_back(unit(rng));
        f.scalars.push_back(big(rng));
    }
    const auto distinct = checked(encrypt_many(f.keys.public_key, {f.values.data(), DISTINCT}, 8));
    for (std::size_t i = 0; i < TERMS; ++i) f.blobs.push_back(distinct[i % DISTINCT]);
    std::vector<double> small_integers;
    for (std::size_t i = 0; i < DISTINCT; ++i) small_integers.push_back(double(i) - 32);
    f.integers = checked(encrypt_many(f.keys.public_key, small_integers, 0));
    checked(keyholder_encrypt_many(f.keys.secret_key, {f.values.data(), 1}, 8));  // its tables
    const auto distinct_pairs = checked(
        packed::encrypt(f.keys.public_key, {{f.values.data(), 2 * DISTINCT}, DISTINCT, 2}, 8, 64));
    for (std::size_t i = 0; i < TERMS; ++i) f.pairs.push_back(distinct_pairs[i % DISTINCT]);
    f.pair_views.assign(f.pairs.begin(), f.pairs.end());
    f.views.assign(f.blobs.begin(), f.blobs.end());
    f.integer_views.assign(f.integers.begin(), f.integers.end());
    std::uniform_int_distribution<std::uint64_t> index(0, TERMS - 1);
    std::uniform_int_distribution<std::size_t> length(TERMS / 8, 3 * TERMS / 8);
    f.blocks.resize(BLOCKS);
    for (Block& block : f.blocks) {
        block.resize(length(rng));
        for (std::uint64_t& i : block) i = index(rng);
    }
    f.reference = reference_inputs(f, bits);
    // The decryption reference does the whole work only if it finds the plaintexts.
    for (std::size_t i = 0; i < INPUTS; ++i) {
        const long expected = static_cast<long>(i) - 32;
        ensure(reference_decryption(f.keys.secret_key, f.reference.ciphertexts[i]) == expected,
               "the reference decryption is wrong");
    }
    return f;
}

const Fixture& fixture(const benchmark::State& state) {
    static std::map<unsigned, Fixture> built;
    const auto bits = static_cast<unsigned>(state.range(0));
    auto found = built.find(bits);
    if (found == built.end()) found = built.emplace(bits, make_fixture(bits)).first;
    return found->second;
}

// ---- the operations, each call returning the items it processed ------------

constexpr std::size_t ENCRYPTIONS = 128, DECRYPTIONS = 32;
constexpr std::size_t PUBLIC_PRODUCTS = 128, SECRET_PRODUCTS = 64;
// Blobs of 2 slots of 64 bits combined per call: 16 full outputs, two
// groups of eight lanes (15 inputs an output at 2048 bits, 23 at 3072).
constexpr std::size_t COMBINED_OUTPUTS = 16;
constexpr unsigned PAIR_BITS = 128;

std::size_t combined(const Fixture& f) {
    return COMBINED_OUTPUTS * (packed_capacity_bits(f.keys.public_key.n) / PAIR_BITS);
}

struct Operation {
    const char* name;
    std::size_t (*call)(const Fixture&);
};

template <class T>
std::size_t kept(Outcome<T> outcome, std::size_t items) {
    benchmark::DoNotOptimize(checked(std::move(outcome)));
    return items;
}

std::size_t terms(const std::vector<Block>& blocks) {
    std::size_t total = 0;
    for (const Block& block : blocks) total += block.size();
    return total;
}

const Operation OPERATIONS[] = {
    {"encrypt_many",
     [](const Fixture& f) {
         return kept(encrypt_many(f.keys.public_key, {f.values.data(), ENCRYPTIONS}, 8),
                     ENCRYPTIONS);
     }},
    // The key holder's path to the same blobs; its tables are built by the
    // fixture, so this is the steady state, as encrypt_many's is.
    {"keyholder_encrypt_many",
     [](const Fixture& f) {
         return kept(keyholder_encrypt_many(f.keys.secret_key, {f.values.data(), ENCRYPTIONS}, 8),
                     ENCRYPTIONS);
     }},
    {"rerandomize",
     [](const Fixture& f) {
         return kept(rerandomize(f.keys.public_key, {f.views.data(), ENCRYPTIONS}), ENCRYPTIONS);
     }},
    {"decrypt_many",
     [](const Fixture& f) {
         return kept(decrypt_many(f.keys.secret_key, {f.integer_views.data(), DECRYPTIONS}),
                     DECRYPTIONS);
     }},
    {"decrypt", [](const Fixture& f) { return kept(decrypt(f.keys.secret_key, f.views[0]), 1); }},
    {"add_many",
     [](const Fixture& f) { return kept(add_many(f.keys.public_key, f.views), TERMS); }},
    {"add_blocks",
     [](const Fixture& f) {
         return kept(add_blocks(f.keys.public_key, f.views, f.blocks), terms(f.blocks));
     }},
    {"multiply_many_public",
     [](const Fixture& f) {
         return kept(multiply_many_public(f.keys.public_key, {f.views.data(), PUBLIC_PRODUCTS},
                                          {f.scalars.data(), PUBLIC_PRODUCTS}, std::nullopt),
                     PUBLIC_PRODUCTS);
     }},
    {"multiply_many",
     [](const Fixture& f) {
         return kept(multiply_many(f.keys.public_key, {f.views.data(), SECRET_PRODUCTS},
                                   {f.scalars.data(), SECRET_PRODUCTS}, std::nullopt),
                     SECRET_PRODUCTS);
     }},
    // Rows of 2 values: a blob per row, as encrypt_many gives a blob per value.
    {"packed.encrypt",
     [](const Fixture& f) {
         return kept(packed::encrypt(f.keys.public_key,
                                     {{f.values.data(), 2 * ENCRYPTIONS}, ENCRYPTIONS, 2}, 8, 64),
                     ENCRYPTIONS);
     }},
    {"packed.decrypt",
     [](const Fixture& f) {
         return kept(packed::decrypt(f.keys.secret_key, {f.pair_views.data(), DECRYPTIONS}),
                     DECRYPTIONS);
     }},
    {"packed.combine",
     [](const Fixture& f) {
         return kept(packed::combine(f.keys.public_key, {f.pair_views.data(), combined(f)}),
                     combined(f));
     }},
};

void run_operation(benchmark::State& state, const Operation& op) {
    const Fixture& f = fixture(state);
    std::size_t items = 0;
    for (auto _ : state) items += op.call(f);
    state.SetItemsProcessed(static_cast<std::int64_t>(items));
    state.counters["workers"] = static_cast<double>(pool_size());
    state.counters["ifma"] = f.keys.public_key.engine->lanes() > 1;
}

// ---- the plain GMP references, one item per call, on the calling thread ----

struct Reference {
    const char* name;
    void (*step)(const Fixture&, std::size_t i, mpz_class& out);
};

const Reference REFERENCES[] = {
    {"encryption",
     [](const Fixture& f, std::size_t i, mpz_class& out) {
         const ReferenceInputs& in = f.reference;
         const mpz_class& n2 = f.keys.public_key.n_squared;
         mpz_powm(out.get_mpz_t(), in.hs.get_mpz_t(), in.exponents[i].get_mpz_t(), n2.get_mpz_t());
         mpz_mul(out.get_mpz_t(), out.get_mpz_t(), in.plaintext_terms[i].get_mpz_t());
         mpz_tdiv_r(out.get_mpz_t(), out.get_mpz_t(), n2.get_mpz_t());
     }},
    {"decryption",
     [](const Fixture& f, std::size_t i, mpz_class& out) {
         out = reference_decryption(f.keys.secret_key, f.reference.ciphertexts[i]);
     }},
    {"addition",
     [](const Fixture& f, std::size_t i, mpz_class& out) {
         mpz_mul(out.get_mpz_t(), out.get_mpz_t(), f.reference.ciphertexts[i].get_mpz_t());
         mpz_tdiv_r(out.get_mpz_t(), out.get_mpz_t(), f.keys.public_key.n_squared.get_mpz_t());
     }},
    {"public_product",
     [](const Fixture& f, std::size_t i, mpz_class& out) {
         const ReferenceInputs& in = f.reference;
         mpz_powm(out.get_mpz_t(), in.ciphertexts[i].get_mpz_t(), in.public_scalars[i].get_mpz_t(),
                  f.keys.public_key.n_squared.get_mpz_t());
     }},
    {"shift",
     // One input of a combination: the blobs so far shifted past its slots, times it.
     [](const Fixture& f, std::size_t i, mpz_class& out) {
         const mpz_class& n2 = f.keys.public_key.n_squared;
         const mpz_class shift = mpz_class(1) << PAIR_BITS;
         mpz_powm(out.get_mpz_t(), out.get_mpz_t(), shift.get_mpz_t(), n2.get_mpz_t());
         mpz_mul(out.get_mpz_t(), out.get_mpz_t(), f.reference.ciphertexts[i].get_mpz_t());
         mpz_tdiv_r(out.get_mpz_t(), out.get_mpz_t(), n2.get_mpz_t());
     }},
    {"secret_product",
     // c^k and (c^-1)^k at the fixed width, the sign choosing between them.
     [](const Fixture& f, std::size_t i, mpz_class& out) {
         const ReferenceInputs& in = f.reference;
         const mpz_class &c = in.ciphertexts[i], &k = in.secret_scalars[i];
         const mpz_class& n2 = f.keys.public_key.n_squared;
         mpz_class inverse;
         mpz_invert(inverse.get_mpz_t(), c.get_mpz_t(), n2.get_mpz_t());
         mpz_powm_sec(out.get_mpz_t(), c.get_mpz_t(), k.get_mpz_t(), n2.get_mpz_t());
         mpz_powm_sec(inverse.get_mpz_t(), inverse.get_mpz_t(), k.get_mpz_t(), n2.get_mpz_t());
         benchmark::DoNotOptimize(inverse.get_mpz_t());
     }},
};

void run_reference(benchmark::State& state, const Reference& reference) {
    const Fixture& f = fixture(state);
    mpz_class out = 1;  // the running product of the addition
    std::size_t i = 0;
    for (auto _ : state) {
        reference.step(f, i++ % INPUTS, out);
        benchmark::DoNotOptimize(out.get_mpz_t());
    }
    state.SetItemsProcessed(state.iterations());
}

void at_key_sizes(benchmark::internal::Benchmark* b) { b->Arg(2048)->Arg(3072)->UseRealTime(); }

[[maybe_unused]] const bool registered = [] {
    for (const Operation& op : OPERATIONS)
        at_key_sizes(benchmark::RegisterBenchmark(("op/" + std::string(op.name)).c_str(),
                                                  run_operation, op));
    for (const Reference& reference : REFERENCES)
        at_key_sizes(benchmark::RegisterBenchmark(("ref/" + std::string(reference.name)).c_str(),
                                                  run_reference, reference));
    return true;
}();

}  // namespace
}  // namespace hecrypt
