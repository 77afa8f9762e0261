#include "secret.hpp"

#include "blob.hpp"

namespace hecrypt {

namespace {

// Wipes the intermediates of one decryption when it ends, on every path.
struct Intermediates {
    mpz_class x, l, mp, mq, t;
    ~Intermediates() {
        for (mpz_class* v : {&x, &l, &mp, &mq, &t}) wipe(*v);
    }
};

// m mod r from c^(r-1) mod r^2, with the per-prime constant h.
bool half_decrypt(const mpz_class& c, const mpz_class& r, const mpz_class& r_squared,
                  const mpz_class& r_minus_1, const mpz_class& h, Intermediates& v,
                  mpz_class& out) {
    v.x = secure_pow_mod(c, r_minus_1, r_squared);
    std::optional<mpz_class> l = l_function(v.x, r);
    if (!l) return false;
    v.l = std::move(*l);
    out = (v.l * h) % r;
    return true;
}

}  // namespace

std::optional<mpz_class> decrypt_integer(const SecretKeyRecord& sk, const mpz_class& c) {
    if (!in_range(c, sk.n_squared) || !coprime_with(c, sk.n)) return std::nullopt;
    Intermediates v;
    if (!half_decrypt(c, sk.p, sk.p_squared, sk.p_minus_1, sk.hp, v, v.mp)) return std::nullopt;
    if (!half_decrypt(c, sk.q, sk.q_squared, sk.q_minus_1, sk.hq, v, v.mq)) return std::nullopt;
    v.t = (v.mq - v.mp) * sk.p_inv_q;
    mpz_fdiv_r(v.t.get_mpz_t(), v.t.get_mpz_t(), sk.q.get_mpz_t());
    mpz_class m = v.mp + sk.p * v.t;
    if (m > sk.half_n) m -= sk.n;
    return m;
}

}  // namespace hecrypt
