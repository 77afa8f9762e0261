#include "bigint.hpp"

#include <algorithm>
#include <cstring>

#include "outcome.hpp"

namespace hecrypt {

std::size_t bit_length(const mpz_class& x) {
    return x == 0 ? 0 : mpz_sizeinbase(x.get_mpz_t(), 2);
}

mpz_class from_bytes_be(ByteView bytes) {
    mpz_class x;
    if (!bytes.empty()) mpz_import(x.get_mpz_t(), bytes.size(), 1, 1, 1, 0, bytes.data());
    return x;
}

Bytes to_bytes_be(const mpz_class& x) {
    Bytes out((bit_length(x) + 7) / 8);
    std::size_t written = 0;
    if (!out.empty()) mpz_export(out.data(), &written, 1, 1, 1, 0, x.get_mpz_t());
    out.resize(written);
    return out;
}

void wipe(std::span<std::uint8_t> buffer) {
    if (buffer.empty()) return;
    std::memset(buffer.data(), 0, buffer.size());
    // The empty asm with a memory clobber makes the stores observable.
    asm volatile("" : : "r"(buffer.data()) : "memory");
}

void wipe(mpz_class& x) {
    mpz_ptr z = x.get_mpz_t();
    auto* limbs = reinterpret_cast<std::uint8_t*>(z->_mp_d);
    wipe(std::span<std::uint8_t>(limbs, static_cast<std::size_t>(z->_mp_alloc) * sizeof(mp_limb_t)));
    z->_mp_size = 0;
}

WipedLimbs::WipedLimbs(std::size_t width)
    : limbs_(mpz_limbs_write(store_.get_mpz_t(),
                             static_cast<mp_size_t>(std::max<std::size_t>(width, 1))),
             width) {
    std::ranges::fill(limbs_, 0);
}

namespace {

mp_size_t count(std::span<const mp_limb_t> limbs) { return static_cast<mp_size_t>(limbs.size()); }

std::span<const mp_limb_t> limbs_of(const mpz_class& x) {
    return {mpz_limbs_read(x.get_mpz_t()), mpz_size(x.get_mpz_t())};
}

}  // namespace

void secure_pow_limbs(std::span<mp_limb_t> out, std::span<const mp_limb_t> base,
                      std::span<const mp_limb_t> e, mp_bitcnt_t e_bits,
                      std::span<const mp_limb_t> m) {
    ensure(e_bits <= GMP_NUMB_BITS * e.size(), "the exponent is wider than its limbs");
    // The scratch ends up holding powers of the base: wiped with it.
    WipedLimbs scratch(mpn_sec_powm_itch(count(base), e_bits, count(m)));
    mpn_sec_powm(out.data(), base.data(), count(base), e.data(), e_bits, m.data(), count(m),
                 scratch.data());
}

// mpn_sec_powm rather than mpz_powm_sec: the latter branches on the lowest
// bit of the exponent after the power (a fix-up for negative bases).
mpz_class secure_pow_mod(const mpz_class& base, const mpz_class& exponent,
                         mp_bitcnt_t exponent_bits, const mpz_class& modulus) {
    if (exponent <= 0) throw InternalFault("exponent not greater than zero");
    if (mpz_odd_p(modulus.get_mpz_t()) == 0) throw InternalFault("modulo not odd");
    ensure(base > 0, "base not greater than zero");
    const auto width = static_cast<mp_size_t>(mpz_size(modulus.get_mpz_t()));
    mpz_class result;
    std::span<mp_limb_t> out(mpz_limbs_write(result.get_mpz_t(), width), width);
    secure_pow_limbs(out, limbs_of(base), limbs_of(exponent), exponent_bits, limbs_of(modulus));
    mpz_limbs_finish(result.get_mpz_t(), width);
    return result;
}

}  // namespace hecrypt
