#include "bigint.hpp"

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

mpz_class secure_pow_mod(const mpz_class& base, const mpz_class& exponent, const mpz_class& modulus) {
    if (exponent <= 0) throw InternalFault("exponent not greater than zero");
    if (mpz_odd_p(modulus.get_mpz_t()) == 0) throw InternalFault("modulo not odd");
    mpz_class result;
    mpz_powm_sec(result.get_mpz_t(), base.get_mpz_t(), exponent.get_mpz_t(), modulus.get_mpz_t());
    return result;
}

}  // namespace hecrypt
