// Constant time in: the scalars of multiply_many and the random exponents of the masks.
#include <utility>

#include "core/engine/portable/engines.hpp"
#include "core/engine/portable/invert.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/pool.hpp"
#include "core/runtime/pow_vartime.hpp"
#include "core/support/ct.hpp"

namespace hecrypt {

namespace {

class PortablePublicEngine final : public PublicEngine {
  public:
    PortablePublicEngine(FixedBaseTable table, const mpz_class& n)
        : table_(std::move(table)), n_squared_(n * n) {}

    std::size_t lanes() const override { return 1; }

    std::vector<mpz_class> masks(std::span<Digits> exponents) const override {
        std::vector<mpz_class> out;
        for (const Digits& digits : exponents) out.push_back(pow_fixed(table_, digits));
        return out;
    }

    Powers secret_powers(std::span<const PowerRequest> requests) const override {
        Powers out;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            std::optional<mpz_class> power =
                scalar_power(*requests[i].c, *requests[i].k, n_squared_);
            if (!power) return Powers{{}, i};
            out.values.push_back(std::move(*power));
        }
        return out;
    }

    std::vector<mpz_class> public_powers(std::span<const PowerRequest> requests) const override {
        std::vector<mpz_class> out;
        for (const PowerRequest& r : requests)
            out.push_back(pow_mod_vartime(*r.c, *r.k, n_squared_));
        return out;
    }

    Outcome<mpz_class> product(std::size_t count, const TermReader& read) const override {
        return chain_product(n_squared_, count, read);
    }

    std::vector<mpz_class> block_products(std::span<const Block> blocks,
                                          std::span<const mpz_class* const> terms) const override {
        return chain_block_products(n_squared_, blocks, terms);
    }

    std::vector<mpz_class> shifted_products(std::span<const ShiftedTerms> outputs,
                                            std::size_t shift) const override {
        return chain_shifted_products(n_squared_, outputs, shift);
    }

    bool invert_all(std::vector<mpz_class>& xs) const override {
        return invert_all_vartime(xs, n_squared_);
    }

  private:
    FixedBaseTable table_;  // powers of hs modulo n^2
    mpz_class n_squared_;
};

}  // namespace

std::shared_ptr<const PublicEngine> portable_public_engine(FixedBaseTable table,
                                                           const mpz_class& n) {
    return std::make_shared<const PortablePublicEngine>(std::move(table), n);
}

// c^k as c^(k + 3 2^64) c^(-3 2^64): every exponent has exactly 66 bits, so
// the time of the constant-time powers does not reveal k. c^(k + 3 2^64)
// stays in fixed-width limbs up to the product, whose value is the result:
// GMP's general arithmetic would branch on it. c^(3 2^64) and its inverse
// are public.
std::optional<mpz_class> scalar_power(const mpz_class& c, const mpz_class& k,
                                      const mpz_class& modulus) {
    const mpz_class offset = mpz_class(3) << SCALAR_BITS;
    mpz_class b = secure_pow_mod(c, offset, SCALAR_BITS + 2, modulus);  // tests c and the modulus
    const std::size_t width = mpz_size(modulus.get_mpz_t());
    WipedLimbs e(2), a(width);
    std::ranges::copy(fixed_width_exponent(k), e.span().begin());
    ct_pow_limbs(a.span(), limbs_of(c), e.view(), SCALAR_BITS + 2, limbs_of(modulus));
    if (mpz_invert(b.get_mpz_t(), b.get_mpz_t(), modulus.get_mpz_t()) == 0) return std::nullopt;
    Limbs b_inverse(width);
    write_limbs(b, b_inverse);
    mpz_class result;
    LimbSpan out(mpz_limbs_write(result.get_mpz_t(), static_cast<mp_size_t>(width)), width);
    ct_mul_mod(out, a.view(), b_inverse, limbs_of(modulus));
    ct_limbs_finish(result.get_mpz_t(), width);
    return result;
}

Outcome<mpz_class> chain_product(const mpz_class& m, std::size_t count, const TermReader& read) {
    mpz_class acc = 1;
    for (std::size_t i = 0; i < count; ++i) {
        checkpoint();
        Outcome<mpz_class> c = read(i);
        if (!c.ok()) return c.take_refusal();
        mul_mod_vartime(acc, c.value(), m);
    }
    return acc;
}

std::vector<mpz_class> chain_block_products(const mpz_class& m, std::span<const Block> blocks,
                                            std::span<const mpz_class* const> terms) {
    auto products = parallel_map<mpz_class>(blocks.size(), [&](std::size_t j) {
        const Block& block = blocks[j];
        mpz_class acc = *terms[block.front()];
        for (std::size_t p = 1; p < block.size(); ++p) {
            checkpoint();  // a block may hold a million terms
            mul_mod_vartime(acc, *terms[block[p]], m);
        }
        return acc;
    });
    return std::move(products.value());
}

// By Horner's rule from the last term: one squaring per bit of shift
// between two terms.
std::vector<mpz_class> chain_shifted_products(const mpz_class& m,
                                              std::span<const ShiftedTerms> outputs,
                                              std::size_t shift) {
    const mpz_class factor = mpz_class(1) << shift;
    std::vector<mpz_class> out;
    for (const ShiftedTerms& terms : outputs) {
        checkpoint();
        mpz_class acc = *terms.back();
        for (std::size_t i = terms.size() - 1; i-- > 0;) {
            acc = pow_mod_vartime(acc, factor, m);
            mul_mod_vartime(acc, *terms[i], m);
        }
        out.push_back(std::move(acc));
    }
    return out;
}

}  // namespace hecrypt
