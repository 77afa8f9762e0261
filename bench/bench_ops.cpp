// Encryption and decryption batches of 1000 values at the usual key sizes,
// next to the plain GMP computations they replace, measured in one run:
// encryption as one mpz_powm of a random exponent of the same length modulo
// n^2, decryption as one mpz_powm modulo n^2 with exponent lambda. The pool
// size comes from RAYON_NUM_THREADS, so `make bench` runs this binary once
// on one worker and once on all of them.
#include <benchmark/benchmark.h>

#include <map>

#include "../tests/core/known_primes.hpp"
#include "core/ops.hpp"
#include "core/runtime/pool.hpp"
#include "core/runtime/rng.hpp"

namespace hecrypt {
namespace {

constexpr std::size_t BATCH = 1000;

struct Fixture {
    KeyPair keys;
    mpz_class lambda;
    std::vector<double> values;
    std::vector<Bytes> blobs;  // encryptions of the values at scale 0
};

Fixture make_fixture(unsigned bits) {
    using testing::SAFE_PRIME_1024_1, testing::SAFE_PRIME_1024_2;
    using testing::SAFE_PRIME_1536_1, testing::SAFE_PRIME_1536_2;
    const bool small = bits == 2048;
    mpz_class p(small ? SAFE_PRIME_1024_1 : SAFE_PRIME_1536_1, 16);
    mpz_class q(small ? SAFE_PRIME_1024_2 : SAFE_PRIME_1536_2, 16);
    Outcome<KeyPair> keys = assemble_keypair(p, q);
    if (!keys.ok()) throw InternalFault(keys.refusal());
    std::vector<double> values(BATCH);
    for (std::size_t i = 0; i < BATCH; ++i) values[i] = static_cast<double>(i) - 500.25;
    auto blobs = encrypt_many(keys.value().public_key, values, 0);
    return {std::move(keys.value()), (p - 1) * (q - 1) / 2, values, std::move(blobs.value())};
}

const Fixture& fixture(unsigned bits) {
    static std::map<unsigned, Fixture> built;
    auto found = built.find(bits);
    if (found == built.end()) found = built.emplace(bits, make_fixture(bits)).first;
    return found->second;
}

void per_value(benchmark::State& state) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * BATCH));
    state.counters["workers"] = static_cast<double>(pool_size());
}

void BM_EncryptMany(benchmark::State& state) {
    const Fixture& f = fixture(static_cast<unsigned>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(encrypt_many(f.keys.public_key, f.values, 8));
    per_value(state);
}

void BM_DecryptMany(benchmark::State& state) {
    const Fixture& f = fixture(static_cast<unsigned>(state.range(0)));
    std::vector<ByteView> views(f.blobs.begin(), f.blobs.end());
    for (auto _ : state) benchmark::DoNotOptimize(decrypt_many(f.keys.secret_key, views));
    per_value(state);
}

// One value per iteration, on the calling thread.
void BM_BaselineEncryptPowm(benchmark::State& state) {
    const Fixture& f = fixture(static_cast<unsigned>(state.range(0)));
    const PublicKeyRecord& pk = f.keys.public_key;
    const mpz_class hs = pow_fixed(pk.table, Digits{1});
    for (auto _ : state) {
        mpz_class r = from_bytes_be(random_bytes(pk.exponent_byte_count)), c;
        mpz_powm(c.get_mpz_t(), hs.get_mpz_t(), r.get_mpz_t(), pk.n_squared.get_mpz_t());
        c = (1 + 12345 * pk.n) * c % pk.n_squared;
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_BaselineDecryptPowm(benchmark::State& state) {
    const Fixture& f = fixture(static_cast<unsigned>(state.range(0)));
    const mpz_class c = from_bytes_be(ByteView(f.blobs[0]).subspan(1));
    const mpz_class& n2 = f.keys.public_key.n_squared;
    for (auto _ : state) {
        mpz_class x;
        mpz_powm(x.get_mpz_t(), c.get_mpz_t(), f.lambda.get_mpz_t(), n2.get_mpz_t());
        benchmark::DoNotOptimize(x);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_EncryptMany)->Arg(2048)->Arg(3072)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecryptMany)->Arg(2048)->Arg(3072)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BaselineEncryptPowm)->Arg(2048)->Arg(3072)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BaselineDecryptPowm)->Arg(2048)->Arg(3072)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace hecrypt
