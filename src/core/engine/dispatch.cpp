#include "core/engine/dispatch.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "core/engine/ifma/context.hpp"
#include "core/engine/ifma/engines.hpp"
#include "core/engine/ifma/prime_test8.hpp"
#include "core/engine/portable/engines.hpp"
#include "core/support/cpu.hpp"

namespace hecrypt {

namespace {

// ifma_available(), unless the environment variable HECRYPT_PORTABLE is 1,
// which keeps every key on the portable engine so that the two can be
// compared on one machine. The environment is read once, at the first call.
bool ifma_wanted() {
    static const bool wanted = [] {
        const char* portable = std::getenv("HECRYPT_PORTABLE");
        return ifma_available() && !(portable != nullptr && std::string_view(portable) == "1");
    }();
    return wanted;
}

// Whether a key whose longest modulus has `bits` bits runs on the 8-lane engine.
bool on_ifma(EngineChoice choice, std::size_t bits) {
    switch (choice) {
        case EngineChoice::automatic:
            return ifma_wanted() && bits <= IFMA_MAX_MODULUS_BITS;
        case EngineChoice::portable:
            return false;
        case EngineChoice::ifma:
            ensure(ifma_available(), "the CPU lacks AVX-512 IFMA");
            ensure(bits <= IFMA_MAX_MODULUS_BITS, "the modulus is too long for the IFMA engine");
            return true;
    }
    throw InternalFault("internal error: entered unreachable code");
}

}  // namespace

std::shared_ptr<const PublicEngine> public_engine(FixedBaseTable table, const mpz_class& n,
                                                  EngineChoice choice) {
    const mpz_class n_squared = n * n;
    if (on_ifma(choice, bit_length(n_squared))) return ifma_public_engine(table, n);
    return portable_public_engine(std::move(table), n);
}

std::shared_ptr<const SecretEngine> secret_engine(const mpz_class& p, const mpz_class& q,
                                                  EngineChoice choice) {
    // p^2 and q^2 are secret; only their lengths are read, as the key's
    // length gives them away anyway.
    if (on_ifma(choice, 2 * std::max(bit_length(p), bit_length(q))))
        return ifma_secret_engine(p, q);
    return portable_secret_engine(p, q);
}

PretestResults fermat_pretest(const PretestModuli& moduli, std::size_t bits, EngineChoice choice) {
    if (on_ifma(choice, bits)) return ifma_fermat8(moduli, bits);
    return fermat_pretest_portable(moduli, bits);
}

}  // namespace hecrypt
