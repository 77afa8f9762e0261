// Constant time in: p^2, q^2, the tables, the exponents, the powers and the plaintexts.
#include "core/keys/crt_masks.hpp"

#include <algorithm>

#include "core/keys/crt_ciphertexts.hpp"

namespace hecrypt {

namespace {

// Evaluations of the engine (eight exponents each on the 8-lane engine, one
// on the portable one) that share each pass over the tables: eight by
// measurement, and the gain from four to eight is still 10%.
constexpr std::size_t LANE_SETS = 8;

}  // namespace

struct CrtMasks::Tables {
    std::size_t window_count;
    std::unique_ptr<const SecretFixedPowers> p, q;
    CrtCiphertexts ciphertexts;

    Tables(const SecretKeyRecord& sk, const mpz_class& hs);
};

// The windows cover exponents of the key's exponent byte count, as the
// public key's table does: r is drawn the same way on both paths.
CrtMasks::Tables::Tables(const SecretKeyRecord& sk, const mpz_class& hs)
    : window_count((8 * exponent_byte_count(bit_length(sk.n)) + WINDOW_BITS - 1) / WINDOW_BITS),
      p(sk.engine->fixed_powers(hs, sk.p_squared, window_count)),
      q(sk.engine->fixed_powers(hs, sk.q_squared, window_count)),
      ciphertexts(sk) {}

CrtMasks::CrtMasks(const mpz_class& hs) : hs_(hs) {}

CrtMasks::~CrtMasks() = default;

void CrtMasks::prepare(const SecretKeyRecord& sk) {
    const std::lock_guard<std::mutex> lock(building_);
    if (!tables_) tables_ = std::make_unique<const Tables>(sk, hs_);
}

std::size_t CrtMasks::lanes() const {
    ensure(tables_ != nullptr, "the key holder's tables are not built");
    return LANE_SETS * unit();
}

std::size_t CrtMasks::unit() const { return tables_->p->lanes(); }

std::size_t CrtMasks::group(std::size_t items, std::size_t workers) const {
    const std::size_t share = (items + workers - 1) / std::max<std::size_t>(workers, 1);
    const std::size_t units = (share + unit() - 1) / unit();
    return std::clamp<std::size_t>(units, 1, LANE_SETS) * unit();
}

std::vector<WipedLimbs> CrtMasks::ciphertexts(std::span<const Digits> exponents,
                                              std::span<const WipedInteger> plaintexts) const {
    ensure(exponents.size() <= lanes(), "more exponents than lanes");
    const Tables& t = *tables_;
    return t.ciphertexts.ciphertexts(t.p->powers(exponents), t.q->powers(exponents), plaintexts);
}

}  // namespace hecrypt
