#include <algorithm>
#include <utility>

#include "core/engine/ifma/engines.hpp"
#include "core/engine/ifma/fixed8.hpp"
#include "core/engine/ifma/powers8.hpp"
#include "core/engine/ifma/shifted8.hpp"
#include "core/engine/ifma/sums8.hpp"
#include "core/engine/portable/engines.hpp"
#include "core/engine/portable/invert.hpp"

namespace hecrypt {

namespace {

class IfmaPublicEngine final : public PublicEngine {
  public:
    IfmaPublicEngine(const FixedBaseTable& table, const mpz_class& n)
        : n_(n), n_squared_(n * n), table_(build_table8(table, n_squared_)) {}

    std::size_t lanes() const override { return IFMA_LANES; }

    // The lanes past the exponents given stay idle.
    std::vector<mpz_class> masks(std::span<Digits> exponents) const override {
        ensure(exponents.size() <= IFMA_LANES, "more items than lanes");
        Digits8 digits;
        for (std::size_t l = 0; l < exponents.size(); ++l) digits[l] = std::move(exponents[l]);
        const Values8 masks = pow_fixed8(table_, digits);
        return {masks.begin(), masks.begin() + static_cast<std::ptrdiff_t>(exponents.size())};
    }

    Powers secret_powers(std::span<const PowerRequest> requests) const override {
        if (auto bad = first_not_coprime(requests, n_)) return Powers{{}, bad};
        return Powers{secret_powers8(table_.context, n_squared_, requests), std::nullopt};
    }

    std::vector<mpz_class> public_powers(std::span<const PowerRequest> requests) const override {
        return public_powers8(table_.context, n_squared_, requests);
    }

    Outcome<mpz_class> product(std::size_t count, const TermReader& read) const override {
        if (!add_many8_pays(count)) return chain_product(n_squared_, count, read);
        return product8(table_.context, n_squared_, count, read);
    }

    std::vector<mpz_class> block_products(std::span<const Block> blocks,
                                          std::span<const mpz_class* const> terms) const override {
        std::size_t count = 0;
        for (const Block& block : blocks) count += block.size();
        if (!add_blocks8_pays(count, blocks.size()))
            return chain_block_products(n_squared_, blocks, terms);
        return block_products8(table_.context, n_squared_, blocks, terms);
    }

    // One output to a lane, eight at a time.
    std::vector<mpz_class> shifted_products(std::span<const ShiftedTerms> outputs,
                                            std::size_t shift) const override {
        std::vector<mpz_class> out;
        for (std::size_t begin = 0; begin < outputs.size(); begin += IFMA_LANES) {
            const auto group = outputs.subspan(begin, std::min(IFMA_LANES, outputs.size() - begin));
            Values8 products = ifma_shifted_product8(table_.context, lanes_of(group), shift);
            for (std::size_t l = 0; l < group.size(); ++l) out.push_back(std::move(products[l]));
        }
        return out;
    }

    // One inversion serves every x whichever engine runs.
    bool invert_all(std::vector<mpz_class>& xs) const override {
        return invert_all_vartime(xs, n_squared_);
    }

  private:
    // Term i of every output in lane l of terms[i]; 1 past an output's last.
    static std::vector<Values8> lanes_of(std::span<const ShiftedTerms> group) {
        std::size_t longest = 0;
        for (const ShiftedTerms& terms : group) longest = std::max(longest, terms.size());
        std::vector<Values8> terms(longest);
        for (std::size_t i = 0; i < longest; ++i)
            for (std::size_t l = 0; l < IFMA_LANES; ++l)
                terms[i][l] = l < group.size() && i < group[l].size() ? *group[l][i] : 1;
        return terms;
    }

    mpz_class n_, n_squared_;
    IfmaFixedBaseTable table_;  // powers of hs modulo n^2, and the lanes' context
};

}  // namespace

std::shared_ptr<const PublicEngine> ifma_public_engine(const FixedBaseTable& table,
                                                       const mpz_class& n) {
    return std::make_shared<const IfmaPublicEngine>(table, n);
}

}  // namespace hecrypt
