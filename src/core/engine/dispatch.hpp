// The one place that picks a key's engine: the 8-lane one when the CPU runs
// it, the environment does not hold HECRYPT_PORTABLE=1 and the key's moduli
// fit it; the portable one otherwise.
#pragma once

#include <memory>

#include "core/engine/engine.hpp"
#include "core/engine/pretest.hpp"

namespace hecrypt {

// automatic follows the rule above. Tests name an engine to run both in one
// process: portable always builds, ifma faults where it cannot run.
enum class EngineChoice { automatic, portable, ifma };

// The engine of a public key from its table of powers of hs modulo n^2,
// given the key's n.
std::shared_ptr<const PublicEngine> public_engine(FixedBaseTable table, const mpz_class& n,
                                                  EngineChoice choice = EngineChoice::automatic);

// The engine of the secret key of primes p and q.
std::shared_ptr<const SecretEngine> secret_engine(const mpz_class& p, const mpz_class& q,
                                                  EngineChoice choice = EngineChoice::automatic);

// The cheap test of a group of prime candidates (pretest.hpp), on the
// engine `choice` names or, for automatic, on the one keys get.
PretestResults fermat_pretest(const PretestModuli& moduli, std::size_t bits,
                              EngineChoice choice = EngineChoice::automatic);

}  // namespace hecrypt
