#include "core/runtime/pow_vartime.hpp"

#include "core/runtime/interrupt.hpp"

namespace hecrypt {

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

}  // namespace hecrypt
