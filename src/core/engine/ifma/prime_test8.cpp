#include "core/engine/ifma/prime_test8.hpp"

#include "core/engine/ifma/pow8.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

namespace {

// m - 1 of every lane as exponent words; they give the candidates away, so
// they are wiped on every way out.
struct FermatExponents {
    ExponentWords8 words;

    FermatExponents(const Values8& moduli, std::size_t bits) : words((bits + 63) / 64) {
        for (std::size_t l = 0; l < IFMA_LANES; ++l) {
            const WipedInteger e = moduli[l] - 1;
            const auto limbs = limbs_of(e);
            ensure(limbs.size() <= words.size(), "the modulus is longer than its bit count");
            for (std::size_t j = 0; j < limbs.size(); ++j) words[j].lane[l] = limbs[j];
        }
    }
    ~FermatExponents() { wipe_lanes(words); }
};

}  // namespace

std::array<bool, IFMA_LANES> ifma_fermat8(const Values8& moduli, std::size_t bits) {
    const FermatExponents exponents(moduli, bits);
    Values8 twos;
    twos.fill(2);
    const Values8 powers = ifma_pow_values8(IfmaContext(moduli), twos, exponents.words, bits);
    std::array<bool, IFMA_LANES> passed{};
    for (std::size_t l = 0; l < IFMA_LANES; ++l) passed[l] = powers[l] == 1;
    return passed;
}

}  // namespace hecrypt
