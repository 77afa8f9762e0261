// Constant time in: p^2, q^2, the CRT coefficient, the tables, the exponents and the powers.
#include "core/keys/crt_masks.hpp"

#include <algorithm>

#include "core/support/ct.hpp"

namespace hecrypt {

namespace {

// Evaluations of the engine (eight exponents each on the 8-lane engine, one
// on the portable one) that share each pass over the tables: eight by measurement, and the gain
// from four to eight is still 10%.
constexpr std::size_t LANE_SETS = 8;

// The squares at their own widths, p^2 first.
WipedLimbs limbs_at_width(const mpz_class& x) {
    WipedLimbs out(mpz_size(x.get_mpz_t()));
    write_limbs(x, out.span());
    return out;
}

}  // namespace

struct CrtMasks::Tables {
    WipedLimbs p_squared, q_squared;
    WipedLimbs p_squared_inverse;  // (p^2)^-1 mod q^2, at the width of q^2
    std::size_t mask_width;        // limbs of n^2
    std::size_t window_count;
    std::unique_ptr<const SecretFixedPowers> p, q;

    Tables(const SecretKeyRecord& sk, const mpz_class& hs);
};

namespace {

// (p^2)^-1 mod q^2 from p^-1 mod q: v = (p^-1)^2 inverts p^2 modulo q, and
// one Newton step, v (2 - p^2 v), lifts that to q^2. Only ct_mul_mod and
// masked additions touch the primes.
WipedLimbs square_inverse(const SecretKeyRecord& sk, LimbView p_squared, LimbView q_squared) {
    const std::size_t wq = mpz_size(sk.q.get_mpz_t()), w = q_squared.size();
    WipedLimbs q(wq), p_inv_q(wq), v(w), reduced(std::max(p_squared.size(), w)), pv(w), twice(w);
    write_limbs(sk.q, q.span());
    write_limbs(sk.p_inv_q, p_inv_q.span());
    ct_mul_mod(v.span().first(wq), p_inv_q.view(), p_inv_q.view(), q.view());
    std::ranges::copy(p_squared, reduced.span().begin());
    ct_reduce(reduced.span(), q_squared);
    ct_mul_mod(pv.span(), reduced.view().first(w), v.view(), q_squared);
    // 2 - p^2 v mod q^2: p^2 v is 1 mod q, so it is 1 or above 2, and one
    // masked addition of q^2 brings the difference into range.
    twice.span()[0] = 2;
    const auto n = static_cast<mp_size_t>(w);
    const mp_limb_t borrow = mpn_sub_n(twice.data(), twice.data(), pv.data(), n);
    mpn_cnd_add_n(borrow, twice.data(), twice.data(), q_squared.data(), n);
    WipedLimbs inverse(w);
    ct_mul_mod(inverse.span(), v.view(), twice.view(), q_squared);
    return inverse;
}

}  // namespace

// The windows cover exponents of the key's exponent byte count, as the
// public key's table does: r is drawn the same way on both paths.
CrtMasks::Tables::Tables(const SecretKeyRecord& sk, const mpz_class& hs)
    : p_squared(limbs_at_width(sk.p_squared)),
      q_squared(limbs_at_width(sk.q_squared)),
      p_squared_inverse(square_inverse(sk, p_squared.view(), q_squared.view())),
      mask_width(mpz_size(sk.n_squared.get_mpz_t())),
      window_count((8 * exponent_byte_count(bit_length(sk.n)) + WINDOW_BITS - 1) / WINDOW_BITS),
      p(sk.engine->fixed_powers(hs, sk.p_squared, window_count)),
      q(sk.engine->fixed_powers(hs, sk.q_squared, window_count)) {}

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

std::vector<WipedLimbs> CrtMasks::masks(std::span<const Digits> exponents) const {
    ensure(exponents.size() <= lanes(), "more exponents than lanes");
    const Tables& t = *tables_;
    // The powers modulo p^2 and q^2 of every exponent in order.
    const std::vector<WipedInteger> xp = t.p->powers(exponents), xq = t.q->powers(exponents);
    std::vector<WipedLimbs> out;
    WipedLimbs gp(t.p_squared.view().size()), gq(t.q_squared.view().size());
    WipedLimbs joined(gp.view().size() + gq.view().size());
    for (std::size_t i = 0; i < exponents.size(); ++i) {
        ct_read_signed(xp[i], gp.span());
        ct_read_signed(xq[i], gq.span());
        ct_crt(joined.span(), gp.view(), gq.view(), t.p_squared.view(), t.q_squared.view(),
               t.p_squared_inverse.view());
        // The mask is below n^2, so the limbs past the width of n^2 are zero.
        std::ranges::copy(joined.view().first(t.mask_width), out.emplace_back(t.mask_width).data());
    }
    return out;
}

}  // namespace hecrypt
