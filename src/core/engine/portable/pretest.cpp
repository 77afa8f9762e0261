// Constant time in: the prime candidates.
#include "core/engine/pretest.hpp"

#include "core/support/ct.hpp"

namespace hecrypt {

PretestResults fermat_pretest_portable(const PretestModuli& moduli, std::size_t bits) {
    PretestResults passed{};
    for (std::size_t i = 0; i < PRETEST_GROUP; ++i) {
        const WipedInteger e = moduli[i] - 1;
        passed[i] = secure_pow_mod(2, e, bits, moduli[i]) == 1;
    }
    return passed;
}

}  // namespace hecrypt
