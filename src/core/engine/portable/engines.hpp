// The portable engine: one item at a time on the fixed-width Montgomery
// arithmetic of mont and the window table of fast, and GMP's general
// arithmetic where every operand is public.
#pragma once

#include <memory>
#include <optional>

#include "core/engine/engine.hpp"

namespace hecrypt {

// The public engine of modulus n from its table of powers of hs modulo n^2.
std::shared_ptr<const PublicEngine> portable_public_engine(FixedBaseTable table,
                                                           const mpz_class& n);
std::shared_ptr<const SecretEngine> portable_secret_engine(const mpz_class& p, const mpz_class& q);

// The powers of a fixed base modulo a prime's square, from a window table.
std::unique_ptr<const SecretFixedPowers> portable_fixed_powers(const mpz_class& base,
                                                               const mpz_class& square,
                                                               std::size_t windows);

// c^k mod m for 0 < |k| < 2^64, in time that does not depend on k; nothing
// when c has no inverse modulo m.
std::optional<mpz_class> scalar_power(const mpz_class& c, const mpz_class& k,
                                      const mpz_class& modulus);

// The portable product chains and shifted products, which the 8-lane engine also takes where its
// lanes would not pay for themselves.
Outcome<mpz_class> chain_product(const mpz_class& m, std::size_t count, const TermReader& read);
std::vector<mpz_class> chain_block_products(const mpz_class& m, std::span<const Block> blocks,
                                            std::span<const mpz_class* const> terms);
std::vector<mpz_class> chain_shifted_products(const mpz_class& m,
                                              std::span<const ShiftedTerms> outputs,
                                              std::size_t shift);

}  // namespace hecrypt
