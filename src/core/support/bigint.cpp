#include "core/support/bigint.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace hecrypt {

std::size_t bit_length(const mpz_class& x) { return x == 0 ? 0 : mpz_sizeinbase(x.get_mpz_t(), 2); }

// mpz_import takes a byte string one byte at a time, about ten times slower
// than whole limbs loaded and byte-swapped; every blob of every batch is read
// here. The loads depend on the length alone.
mpz_class from_bytes_be(ByteView bytes) {
    static_assert(GMP_NUMB_BITS == 64 && std::endian::native == std::endian::little,
                  "limbs are read as little-endian 64-bit words");
    mpz_class x;
    const std::size_t count = (bytes.size() + 7) / 8;
    if (count == 0) return x;
    mp_limb_t* limbs = mpz_limbs_write(x.get_mpz_t(), static_cast<mp_size_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t end = bytes.size() - 8 * i;  // limb i ends there
        std::uint64_t word = 0;
        if (end >= 8) {
            std::memcpy(&word, bytes.data() + end - 8, 8);
            word = __builtin_bswap64(word);
        } else {
            for (std::size_t b = 0; b < end; ++b) word = word << 8 | bytes[b];  // the top limb
        }
        limbs[i] = word;
    }
    mpz_limbs_finish(x.get_mpz_t(), static_cast<mp_size_t>(count));
    return x;
}

Bytes to_bytes_be(const mpz_class& x) {
    Bytes out((bit_length(x) + 7) / 8);
    std::size_t written = 0;
    if (!out.empty()) mpz_export(out.data(), &written, 1, 1, 1, 0, x.get_mpz_t());
    out.resize(written);
    return out;
}

void mul_mod_vartime(mpz_class& acc, const mpz_class& c, const mpz_class& m) {
    mpz_mul(acc.get_mpz_t(), acc.get_mpz_t(), c.get_mpz_t());
    mpz_tdiv_r(acc.get_mpz_t(), acc.get_mpz_t(), m.get_mpz_t());
}

void wipe(std::span<std::uint8_t> buffer) { wipe_bytes(buffer.data(), buffer.size()); }

void wipe(mpz_class& x) {
    mpz_ptr z = x.get_mpz_t();
    auto* limbs = reinterpret_cast<std::uint8_t*>(z->_mp_d);
    wipe(
        std::span<std::uint8_t>(limbs, static_cast<std::size_t>(z->_mp_alloc) * sizeof(mp_limb_t)));
    z->_mp_size = 0;
}

}  // namespace hecrypt
