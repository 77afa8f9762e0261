// Key records, their checks, key-pair generation and public keys assembled
// from a peer's modulus bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/support/bigint.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

// The arithmetic of a key, opaque here: core/engine/engine.hpp says what it
// does, core/engine/dispatch.hpp which one a key gets.
class PublicEngine;
class SecretEngine;
enum class EngineChoice;

constexpr std::uint32_t MIN_MODULUS_BITS = 2048;
constexpr std::uint32_t MAX_MODULUS_BITS = 8192;
constexpr std::size_t MAX_MODULUS_BYTES = 1024;
constexpr std::uint32_t DEFAULT_KEY_BITS = 3072;
constexpr std::uint32_t CLOSE_PRIMES_MARGIN = 100;
constexpr int HS_ATTEMPTS = 64;

enum class KeyCheckError {
    PrimesNotSafe,
    PrimesNotBlum,
    ExtraCyclicComponent,
    PrimesTooClose,
    HQuadraticResidue,
    XOutOfRange,
    HsDegenerate,
    PowModUndefined,
    ModulusTooShort,
    ModulusTooLong,
    AttemptBudgetExhausted,
};

const char* message(KeyCheckError error);
inline Refusal refuse(KeyCheckError error) { return Refusal{message(error)}; }

struct PublicKeyRecord {
    mpz_class n;
    mpz_class n_squared;
    mpz_class hs;                                // the base of every mask hs^r
    std::uint64_t exponent_byte_count;           // length of every random exponent r
    std::shared_ptr<const PublicEngine> engine;  // holds the table of powers of hs

    std::uint64_t exponent_bits() const { return 8 * exponent_byte_count; }
    std::uint32_t plaintext_bound_bits() const;
    Bytes modulus_bytes() const { return to_bytes_be(n); }
};

class CrtMasks;

// Every field wipes itself when the record ends.
struct SecretKeyRecord {
    WipedInteger n, n_squared, half_n;
    WipedInteger p, q, p_squared, q_squared, p_minus_1, q_minus_1;
    WipedInteger hp, hq, p_inv_q;
    std::shared_ptr<const SecretEngine> engine;  // the powers modulo p^2 and q^2
    // The key holder's encryption, with the key pair's hs: set by
    // assemble_keypair; its tables are built on first use.
    std::shared_ptr<CrtMasks> crt_masks;
};

struct KeyPair {
    PublicKeyRecord public_key;
    SecretKeyRecord secret_key;
};

// How a caller that holds an interpreter-style lock lets long stretches of
// key work run without it. The default runs the work in place.
class Unlocker {
  public:
    virtual ~Unlocker() = default;
    virtual void without_lock(const std::function<void()>& work) const { work(); }
};

Status validate_public(const mpz_class& n);
// L(u) = (u - 1) / d, or nothing when d does not divide u - 1. Variable
// time (GMP's division), though it keeps the name it has always had rather
// than a _vartime suffix: it runs on secret-derived values once per key, at
// set-up, never per ciphertext.
std::optional<mpz_class> l_function(const mpz_class& u, const mpz_class& d);
std::optional<SecretKeyRecord> prepare_decryption(const mpz_class& p, const mpz_class& q);

// The key with its engine built anew by `choice`: the operations then run on
// that engine, with the same results. For tests that compare the engines in
// one process.
PublicKeyRecord on_engine(PublicKeyRecord pk, EngineChoice choice);
SecretKeyRecord on_engine(SecretKeyRecord sk, EngineChoice choice);

struct PrimePair {
    const mpz_class& p;
    const mpz_class& q;
};
// hs = h^n mod n^2 for h = -x^2 mod n with a random x; with the primes, h
// must also be a non-residue modulo each of them.
Outcome<mpz_class> derive_hs(const mpz_class& n, std::optional<PrimePair> primes);

// Exponent bytes for a modulus of `modulus_bits` bits: half its length,
// rounded up to whole bytes.
std::uint64_t exponent_byte_count(std::size_t modulus_bits);

// Key generation from two primes onwards: their checks, hs, the table and
// the decryption precomputation.
Outcome<KeyPair> assemble_keypair(const mpz_class& p, const mpz_class& q,
                                  const Unlocker& unlocker = Unlocker{});
Outcome<KeyPair> generate_keypair(std::uint32_t bits, const Unlocker& unlocker = Unlocker{});
Outcome<PublicKeyRecord> public_key_from_n(ByteView raw, const Unlocker& unlocker = Unlocker{});

}  // namespace hecrypt
