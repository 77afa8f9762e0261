// Deliberately variable-time variants of the units around the kernels, each
// with its secret arriving as the real code's does. The reduction canary is
// reported only if the model of GMP (gmp_model.cpp) carries a secret
// modulus's taint into a remainder; the sign canary only if a scalar's
// conversion from its double taints the integer's sign; the loading canary
// only if a value's length, found by mask, is taken for secret.
#include <sanitizer/msan_interface.h>

#include <cstdio>

#include "core/encoding/fixed_point.hpp"
#include "core/engine/engine.hpp"
#include "core/engine/portable/mont.hpp"
#include "core/support/ct.hpp"
#include "harness.hpp"
#include "known_primes.hpp"

namespace hecrypt::ct_ifma {

namespace {

// Keeps a result the canary computed, so that its leak is not optimised away.
template <class T>
void keep(const T& value) {
    __msan_unpoison(&value, sizeof value);
    asm volatile("" : : "r"(&value) : "memory");
}

__attribute__((noinline)) FixedExponent negated_words(mp_limb_t magnitude) {
    return {0 - magnitude, 2};
}

__attribute__((noinline)) FixedExponent offset_words(mp_limb_t magnitude, mp_limb_t top) {
    return {magnitude, top};
}

// write_lane as it once was: the capacity check reads the value's sign and
// bit length, and the copy runs over its limb count.
void write_lane_by_length(LaneSpan v, std::size_t lane, const mpz_class& x) {
    if (sgn(x) < 0 || bit_length(x) > IFMA_DIGIT_BITS * v.size())
        throw InternalFault("not enough capacity");
    unsigned __int128 window = 0;
    unsigned fill = 0;
    std::size_t i = 0;
    for (std::size_t j = 0; j < mpz_size(x.get_mpz_t()); ++j) {
        window |= static_cast<unsigned __int128>(mpz_getlimbn(x.get_mpz_t(), j)) << fill;
        for (fill += 64; fill >= IFMA_DIGIT_BITS;
             fill -= IFMA_DIGIT_BITS, window >>= IFMA_DIGIT_BITS)
            v[i++].lane[lane] = static_cast<std::uint64_t>(window) & IFMA_DIGIT_MASK;
    }
}

}  // namespace

// A ciphertext reduced modulo a secret p^2 as decryption reduces it, the
// remainder's length then found by a branch on its top limbs.
void canary_reduction() {
    const mpz_class p = mpz_class(testing::SAFE_PRIME_1024_1, 16), p2 = p * p;
    const std::size_t w = mpz_size(p2.get_mpz_t());
    WipedLimbs modulus(w), x(2 * w);
    write_limbs(p2, modulus.span());
    write_limbs(random_below(p2 * p2), x.span());
    __msan_poison(modulus.data(), w * sizeof(mp_limb_t));
    ct_reduce(x.span(), modulus.view());
    announce_leak("reduction");
    std::size_t size = w;
    while (size > 0 && x.view()[size - 1] == 0) --size;
    keep(size);
}

// The exponent words of a secret scalar chosen by an if/else on its sign.
void canary_sign() {
    double y = -12345.0;
    __msan_poison(&y, sizeof y);
    const WipedInteger k = integer_of_double(y);
    const mp_limb_t magnitude = mpz_limbs_read(k.get_mpz_t())[0];
    announce_leak("sign");
    FixedExponent e;
    if (k.get_mpz_t()->_mp_size < 0)
        e = negated_words(magnitude);
    else
        e = offset_words(magnitude, 3);
    keep(e);
}

// A secret value read out of its lane, as decryption's powers are, loaded
// into another by the length-reading write_lane.
void canary_loading() {
    Modulus mod(150);
    Lanes8 x = lanes_of(mod.ctx, sample_values(mod, mod.m)), out(mod.ctx.width);
    make_secret(x);
    const mpz_class value = read_lane(x, 1);
    announce_leak("loading");
    write_lane_by_length(out, 1, value);
    make_public(out);
}

}  // namespace hecrypt::ct_ifma
