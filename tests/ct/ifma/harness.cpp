#include "harness.hpp"

#include <sanitizer/msan_interface.h>

#include <cstdio>
#include <vector>

namespace hecrypt::ct_ifma {

namespace {

int failures = 0;

gmp_randclass& random_state() {
    static gmp_randclass state(gmp_randinit_default);
    static const bool seeded = (state.seed(20240611), true);
    (void)seeded;
    return state;
}

std::size_t limb_bytes(const mpz_class& x) { return mpz_size(x.get_mpz_t()) * sizeof(mp_limb_t); }

// The 52 bits of each digit word; the 12 above are zero, and public, until
// the kernels' arithmetic carries into them.
void taint_digits(std::span<std::uint64_t> words) {
    std::vector<std::uint64_t> shadow(words.size(), IFMA_DIGIT_MASK);
    __msan_partial_poison(words.data(), shadow.data(), words.size_bytes());
}

void clean(std::span<std::uint64_t> words) { __msan_unpoison(words.data(), words.size_bytes()); }

std::span<std::uint64_t> words_of(LaneSpan v) {
    return std::span(v.data()->lane, IFMA_LANES * v.size());
}

}  // namespace

void make_secret(LaneSpan v) { taint_digits(words_of(v)); }
void make_public(LaneSpan v) { clean(words_of(v)); }

void make_secret_words(LaneSpan v) {
    const std::span<std::uint64_t> words = words_of(v);
    __msan_poison(words.data(), words.size_bytes());
}

void make_secret(const mpz_class& x) {
    __msan_poison(mpz_limbs_read(x.get_mpz_t()), limb_bytes(x));
}

void make_public(const mpz_class& x) {
    __msan_unpoison(x.get_mpz_t(), sizeof *x.get_mpz_t());
    __msan_unpoison(mpz_limbs_read(x.get_mpz_t()), limb_bytes(x));
}

void make_secret(IfmaContext& ctx) {
    make_secret(ctx.modulus);
    make_secret(std::span(&ctx.neg_inv.get(), 1));
    make_secret(ctx.one);
    make_secret(ctx.r_squared);
}

void make_public(IfmaContext& ctx) {
    make_public(ctx.modulus);
    make_public(std::span(&ctx.neg_inv.get(), 1));
    make_public(ctx.one);
    make_public(ctx.r_squared);
}

void expect(bool ok, const char* what, std::size_t bits) {
    if (ok) return;
    std::fprintf(stderr, "ct_ifma: wrong result from %s with a %zu-bit modulus\n", what, bits);
    ++failures;
}

bool all_passed() { return failures == 0; }

mpz_class random_below(const mpz_class& bound) { return random_state().get_z_range(bound); }

mpz_class random_odd(std::size_t bits) {
    return random_state().get_z_bits(bits) | (mpz_class(1) << (bits - 1)) | 1;
}

Modulus::Modulus(std::size_t bits_)
    : bits(bits_),
      m(random_odd(bits_)),
      r_inverse(mpz_class(1) << (IFMA_DIGIT_BITS * ifma_width(bits_))),
      ctx(m) {
    mpz_invert(r_inverse.get_mpz_t(), r_inverse.get_mpz_t(), m.get_mpz_t());
}

Values8 sample_values(const Modulus& mod, const mpz_class& bound) {
    Values8 xs;
    const mpz_class ends[] = {0, bound - 1, mod.m, mod.m - 1};
    for (std::size_t l = 0; l < IFMA_LANES; ++l) {
        const bool end = l < std::size(ends) && ends[l] < bound;
        xs[l] = end ? ends[l] : random_below(bound);
    }
    return xs;
}

Values8 sample_exponents(std::size_t bits) {
    const mpz_class top = mpz_class(1) << (bits - 1);
    Values8 es = {0, 2 * top - 1, top};
    for (std::size_t l = 3; l < IFMA_LANES; ++l) es[l] = random_below(2 * top);
    return es;
}

ExponentWords8 secret_words(const Values8& es, std::size_t bits) {
    ExponentWords8 words((bits + 63) / 64);
    for (std::size_t j = 0; j < words.size(); ++j) {
        for (std::size_t l = 0; l < IFMA_LANES; ++l)
            words[j].lane[l] = mpz_getlimbn(es[l].get_mpz_t(), static_cast<mp_size_t>(j));
    }
    make_secret_words(words);
    return words;
}

Lanes8 lanes_of(const IfmaContext& ctx, const Values8& xs) {
    Lanes8 v(ctx.width);
    for (std::size_t l = 0; l < IFMA_LANES; ++l) write_lane(v, l, xs[l]);
    return v;
}

void announce_leak(const char* canary) {
    std::fprintf(stderr, "ct_ifma: canary %s: the leak runs\n", canary);
}

}  // namespace hecrypt::ct_ifma
