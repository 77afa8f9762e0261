#include "bigint.hpp"

#include <algorithm>
#include <cstring>

#include "runtime/interrupt.hpp"

namespace hecrypt {

std::size_t bit_length(const mpz_class& x) { return x == 0 ? 0 : mpz_sizeinbase(x.get_mpz_t(), 2); }

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

// Past WHOLE_BITS: acc = acc^(2^c) base^chunk per chunk of c bits, which costs
// up to twice the squarings of one power. Only moduli of 4096 bits and more
// get there, whose keys take minutes to generate anyway.
mpz_class pow_mod_vartime(const mpz_class& base, const mpz_class& e, const mpz_class& m) {
    constexpr std::size_t WHOLE_BITS = 4096;
    constexpr std::size_t CHUNK_BITS = 1024;
    mpz_class acc = 1;
    const std::size_t bits = bit_length(e);
    if (sgn(e) < 0 || bits <= WHOLE_BITS) {
        mpz_powm(acc.get_mpz_t(), base.get_mpz_t(), e.get_mpz_t(), m.get_mpz_t());
        return acc;
    }
    mpz_class shift = 0, chunk, power;
    mpz_setbit(shift.get_mpz_t(), CHUNK_BITS);
    for (std::size_t top = (bits + CHUNK_BITS - 1) / CHUNK_BITS; top-- > 0;) {
        checkpoint();
        mpz_fdiv_q_2exp(chunk.get_mpz_t(), e.get_mpz_t(), top * CHUNK_BITS);
        mpz_fdiv_r_2exp(chunk.get_mpz_t(), chunk.get_mpz_t(), CHUNK_BITS);
        mpz_powm(acc.get_mpz_t(), acc.get_mpz_t(), shift.get_mpz_t(), m.get_mpz_t());
        mpz_powm(power.get_mpz_t(), base.get_mpz_t(), chunk.get_mpz_t(), m.get_mpz_t());
        acc = acc * power % m;
    }
    return acc;
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
    wipe(
        std::span<std::uint8_t>(limbs, static_cast<std::size_t>(z->_mp_alloc) * sizeof(mp_limb_t)));
    z->_mp_size = 0;
}

WipedLimbs::WipedLimbs(std::size_t width)
    : limbs_(mpz_limbs_write(store_.get_mpz_t(),
                             static_cast<mp_size_t>(std::max<std::size_t>(width, 1))),
             width) {
    std::ranges::fill(limbs_, 0);
}

}  // namespace hecrypt
