// What an operation asks of arithmetic, per key: the masks hs^r of
// encryption and rerandomisation, the powers c^k of the products, the
// product chains of the sums, the shifted products and inverses of packed
// ciphertexts and, for a secret key, the two powers of decryption. An engine
// answers for one key in groups of lanes() items; the operations check,
// order and write, and never ask which engine runs. The engines live beside
// this file (portable/, ifma/), and dispatch.hpp builds the one a key uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/engine/portable/fast.hpp"
#include "core/support/bigint.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

// The 0-based indices of the terms one sum multiplies.
using Block = std::vector<std::uint64_t>;

// The width of every secret scalar.
constexpr unsigned SCALAR_BITS = 64;

// e = k + 3 2^64 for 0 < |k| < 2^64 as two words: 66 bits for every k, with
// no carry, comparison or sign test looking at k.
using FixedExponent = std::array<std::uint64_t, 2>;
FixedExponent fixed_width_exponent(const mpz_class& k);

// One power c^k a product asks for: c in [1, n^2), k an encoded scalar,
// 0 < |k| < 2^64.
struct PowerRequest {
    const mpz_class* c;
    const mpz_class* k;
};

// The index of the first request whose c shares a factor with n, if any:
// one gcd for the whole span when none does.
std::optional<std::size_t> first_not_coprime(std::span<const PowerRequest> requests,
                                             const mpz_class& n);

// The powers of a span of requests in order, or, when a base has no inverse
// modulo n^2, the index of the first such request and no powers.
struct Powers {
    std::vector<mpz_class> values;
    std::optional<std::size_t> no_inverse;
};

// The terms of one shifted product, in order; each in [1, n^2).
using ShiftedTerms = std::vector<const mpz_class*>;

// Term i of a product chain, read in order from the first, with its own
// checks: a refusal stops the chain.
using TermReader = std::function<Outcome<mpz_class>(std::size_t)>;

class PublicEngine {
  public:
    virtual ~PublicEngine() = default;

    // Items one evaluation serves together: callers hand masks() at most
    // this many, and batch the other calls in multiples of it.
    virtual std::size_t lanes() const = 0;

    // hs^r mod n^2 for every exponent r, given by its 6-bit digits. Digits
    // and masks alike wipe themselves.
    virtual std::vector<WipedInteger> masks(std::span<Digits> exponents) const = 0;

    // c^k mod n^2 for secret scalars, in time that depends on neither c nor k.
    virtual Powers secret_powers(std::span<const PowerRequest> requests) const = 0;

    // c^k mod n^2 for public scalars, every c coprime with n.
    virtual std::vector<mpz_class> public_powers(std::span<const PowerRequest> requests) const = 0;

    // The product modulo n^2 of `count` >= 1 terms, read in order, or the
    // refusal of the first term refused.
    virtual Outcome<mpz_class> product(std::size_t count, const TermReader& read) const = 0;

    // The product modulo n^2 of each block's terms, terms[i] the integer of
    // term i (null for the terms no block names). Blocks are not empty.
    virtual std::vector<mpz_class> block_products(
        std::span<const Block> blocks, std::span<const mpz_class* const> terms) const = 0;

    // For each output, the product modulo n^2 of its terms t_i raised to
    // 2^(shift i), i from 0: what shifting plaintexts into place and adding
    // them asks of their ciphertexts. Outputs are not empty. Public values.
    virtual std::vector<mpz_class> shifted_products(std::span<const ShiftedTerms> outputs,
                                                    std::size_t shift) const = 0;

    // Replaces every x by its inverse modulo n^2, or, when some x has none,
    // replaces nothing and answers false. Public values: variable time.
    virtual bool invert_all(std::vector<mpz_class>& xs) const = 0;
};

// One prime r's part of decryption at fixed widths taken from the key.
struct PrimePower {
    std::size_t width;         // limbs of r
    std::size_t square_width;  // limbs of r^2
    WipedLimbs square;         // r^2
    WipedLimbs exponent;       // r - 1, at the width of r

    explicit PrimePower(const mpz_class& r);

  private:
    PrimePower(const mpz_class& r, const WipedInteger& r_squared);
};

// The powers of one fixed base modulo a prime's square, for the key
// holder's masks. The table behind them is as secret as the prime, and is
// wiped with this object.
class SecretFixedPowers {
  public:
    virtual ~SecretFixedPowers() = default;

    // Exponents one evaluation takes: callers group exponents in multiples
    // of it.
    virtual std::size_t lanes() const = 0;

    // base^r mod r^2 for every exponent r, given by its 6-bit digits, in
    // order; every lanes() of them share each pass over the table.
    virtual std::vector<WipedInteger> powers(std::span<const Digits> exponents) const = 0;
};

class SecretEngine {
  public:
    virtual ~SecretEngine() = default;

    // Ciphertexts one call of decryption_powers takes at most.
    virtual std::size_t lanes() const = 0;

    // Ciphertexts per group for a batch of `len` over `workers` threads: at
    // most lanes(), fewer where smaller groups end the batch sooner.
    virtual std::size_t group_size(std::size_t len, std::size_t workers) const = 0;

    // c^(p - 1) mod p^2 and c^(q - 1) mod q^2 of each ciphertext, at the
    // widths of p^2 and q^2: ciphertext i's at 2i and 2i + 1. Every c is in
    // [1, n^2) and coprime with n.
    virtual std::vector<WipedLimbs> decryption_powers(
        std::span<const mpz_class* const> ciphertexts) const = 0;

    // The powers of `base` modulo `square`, p^2 or q^2 of this key, for
    // exponents of up to `windows` digits, on this engine.
    virtual std::unique_ptr<const SecretFixedPowers> fixed_powers(const mpz_class& base,
                                                                  const mpz_class& square,
                                                                  std::size_t windows) const = 0;
};

}  // namespace hecrypt
