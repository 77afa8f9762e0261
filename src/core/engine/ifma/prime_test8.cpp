// Constant time in: the prime candidates.
#include "core/engine/ifma/prime_test8.hpp"

#include "core/engine/ifma/pow8.hpp"
#include "core/support/ct.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

namespace {

// m - 1 of every lane as exponent words. They give the candidates away: the
// words wipe themselves, and each is read by mask at the width of `bits`,
// not at its candidate's own length.
ExponentWords8 fermat_exponents(const Values8& moduli, std::size_t bits) {
    ExponentWords8 words((bits + 63) / 64);
    WipedLimbs limbs(words.size());
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        const WipedInteger e = moduli[l] - 1;
        ensure(ct_reveal(ct_copy_limbs(e, limbs.span())) == 0,
               "the modulus is longer than its bit count");
        for (std::size_t j = 0; j < words.size(); ++j) words[j].lane[l] = limbs.view()[j];
    }
    return words;
}

}  // namespace

std::array<bool, IFMA_LANES> ifma_fermat8(const Values8& moduli, std::size_t bits) {
    const ExponentWords8 exponents = fermat_exponents(moduli, bits);
    Values8 twos;
    twos.fill(2);
    const Values8 powers = ifma_pow_values8(IfmaContext(moduli), twos, exponents, bits);
    std::array<bool, IFMA_LANES> passed{};
    for (std::size_t l = 0; l < IFMA_LANES; ++l) passed[l] = powers[l] == 1;
    return passed;
}

}  // namespace hecrypt
