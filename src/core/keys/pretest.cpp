#include "core/keys/pretest.hpp"

#include "core/engine/ifma/cpu.hpp"
#include "core/engine/ifma/prime_test8.hpp"
#include "core/support/ct.hpp"

namespace hecrypt {

PretestEngine pretest_engine() {
    return use_ifma() ? PretestEngine::Lanes8 : PretestEngine::Portable;
}

PretestResults fermat_pretest(const Values8& moduli, std::size_t bits, PretestEngine engine) {
    if (engine == PretestEngine::Lanes8) return ifma_fermat8(moduli, bits);
    PretestResults passed{};
    for (std::size_t i = 0; i < PRETEST_GROUP; ++i) {
        const WipedInteger e = moduli[i] - 1;
        passed[i] = secure_pow_mod(2, e, bits, moduli[i]) == 1;
    }
    return passed;
}

}  // namespace hecrypt
