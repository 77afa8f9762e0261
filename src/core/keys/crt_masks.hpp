// The key holder's ciphertexts: the mask hs^r mod n^2 computed as
// hs^r mod p^2 and hs^r mod q^2, and recombined with the plaintext's factor
// (crt_ciphertexts.hpp). Both powers run on moduli of half the width
// of n^2, from fixed-base tables of hs modulo p^2 and q^2, so a mask costs
// about half of what the public key's table asks. The tables are secret
// (they give p and q away) and are built on the first encryption with the
// key, not with the key: a key that only decrypts never pays their time or
// their memory.
//
// Secret here: p^2, q^2, the tables, the CRT coefficient, the exponents,
// every power and the plaintexts. All of it goes only through the key's
// engine and the Montgomery products (constant time in the modulus) and the
// ct_* helpers.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/engine/engine.hpp"
#include "core/keys/keys.hpp"

namespace hecrypt {

class CrtMasks {
  public:
    explicit CrtMasks(const mpz_class& hs);
    ~CrtMasks();
    CrtMasks(const CrtMasks&) = delete;
    CrtMasks& operator=(const CrtMasks&) = delete;

    // Builds sk's tables the first time it is called for this key, on the
    // key's engine, and is then a lookup: once built, the tables are read by
    // every worker without a lock. A build stopped by checkpoint() leaves
    // nothing built, and the next call starts again.
    void prepare(const SecretKeyRecord& sk);

    // The base hs of every mask.
    const mpz_class& base() const { return hs_; }

    // Exponents one call of ciphertexts() takes at most: eight of the engine's
    // evaluations (64 on the 8-lane engine, 8 on the portable one), all of
    // which share each read of a table (at half the width of n^2 reading it
    // costs about as much as the products). After prepare().
    std::size_t lanes() const;

    // Exponents per call of ciphertexts() for a batch of `items` on `workers`
    // threads: as many as lanes() allows, but no more than a worker's share
    // of the batch, so that a small batch still reaches every core.
    std::size_t group(std::size_t items, std::size_t workers) const;

    // (1 + m n) hs^r mod n^2 at the width of n^2 for each exponent r, given
    // by its 6-bit digits, and the plaintext m at the same place, at most
    // lanes() of them (crt_ciphertexts.hpp). After prepare().
    std::vector<WipedLimbs> ciphertexts(std::span<const Digits> exponents,
                                        std::span<const WipedInteger> plaintexts) const;

  private:
    struct Tables;
    std::size_t unit() const;  // exponents one evaluation takes: its lanes
    mpz_class hs_;
    std::mutex building_;
    std::unique_ptr<const Tables> tables_;
};

}  // namespace hecrypt
