// The 8-lane engine: eight items side by side on the AVX-512 IFMA kernels.
// dispatch.cpp builds it only where the CPU runs it and the key's moduli fit.
#pragma once

#include <memory>

#include "core/engine/engine.hpp"

namespace hecrypt {

// The public engine from the portable table of the same powers of hs.
std::shared_ptr<const PublicEngine> ifma_public_engine(const FixedBaseTable& table,
                                                       const mpz_class& n);
std::shared_ptr<const SecretEngine> ifma_secret_engine(const mpz_class& p, const mpz_class& q);

}  // namespace hecrypt
