#include <gtest/gtest.h>

#include <gmpxx.h>

#include <vector>

#include "core/karatsuba.hpp"

namespace hecrypt {
namespace {

// Operands that stress the sign and carry bookkeeping: all-ones halves make
// every difference and carry extreme, zeros and equal halves make them vanish.
enum class Fill { Random, Ones, Zeros, EqualHalves };

std::vector<mp_limb_t> operand(std::size_t n, Fill fill, gmp_randclass& rng) {
    std::vector<mp_limb_t> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        mpz_class r = rng.get_z_bits(64);
        x[i] = fill == Fill::Ones ? ~mp_limb_t{0} : fill == Fill::Zeros ? 0 : mpz_getlimbn(r.get_mpz_t(), 0);
    }
    if (fill == Fill::EqualHalves) std::copy_n(x.begin(), n / 2, x.begin() + (n + 1) / 2);
    return x;
}

TEST(ConstantTimeMultiply, AgreesWithGmpAtEveryWidthAndShape) {
    gmp_randclass rng(gmp_randinit_default);
    rng.seed(11);
    const Fill fills[] = {Fill::Random, Fill::Ones, Fill::Zeros, Fill::EqualHalves};
    for (std::size_t n : {1u, 2u, 15u, 16u, 23u, 24u, 25u, 32u, 48u, 64u, 96u, 128u}) {
        for (Fill fa : fills) {
            for (Fill fb : fills) {
                auto a = operand(n, fa, rng), b = operand(n, fb, rng);
                std::vector<mp_limb_t> got(2 * n), want(2 * n), scratch(ct_mul_scratch(n));
                ct_mul(got.data(), a.data(), b.data(), n, scratch.data());
                mpn_mul_n(want.data(), a.data(), b.data(), static_cast<mp_size_t>(n));
                ASSERT_EQ(got, want) << "n=" << n;
            }
        }
    }
}

}  // namespace
}  // namespace hecrypt
