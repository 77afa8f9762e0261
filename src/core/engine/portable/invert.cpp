#include "core/engine/portable/invert.hpp"

namespace hecrypt {

bool invert_all_vartime(std::vector<mpz_class>& xs, const mpz_class& m) {
    if (xs.empty()) return true;
    std::vector<mpz_class> prefix(xs.size());
    prefix[0] = xs[0] % m;
    for (std::size_t i = 1; i < xs.size(); ++i) prefix[i] = prefix[i - 1] * xs[i] % m;
    mpz_class inverse;
    if (mpz_invert(inverse.get_mpz_t(), prefix.back().get_mpz_t(), m.get_mpz_t()) == 0)
        return false;
    for (std::size_t i = xs.size(); i-- > 1;) {
        const mpz_class x_inverse = inverse * prefix[i - 1] % m;
        inverse = inverse * xs[i] % m;
        xs[i] = x_inverse;
    }
    xs[0] = inverse;
    return true;
}

}  // namespace hecrypt
