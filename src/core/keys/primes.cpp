#include "core/keys/primes.hpp"

#include "core/support/outcome.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/rng.hpp"

namespace hecrypt {

namespace {

constexpr std::uint32_t SIEVE_LIMIT = 4096;

// A candidate is dropped early when a small prime divides x or 2x + 1.
bool survives_sieve(const mpz_class& x, const std::vector<std::uint32_t>& primes) {
    for (std::uint32_t s : primes) {
        if (mpz_cmp_ui(x.get_mpz_t(), s) <= 0) break;
        unsigned long r = mpz_fdiv_ui(x.get_mpz_t(), s);
        if (r == 0 || (2 * r + 1) % s == 0) return false;
    }
    return true;
}

// An odd x of exactly bits - 1 bits from fresh random bytes.
mpz_class draw_half(std::uint32_t bits) {
    Bytes raw = random_bytes((bits + 6) / 8);
    mpz_class x = from_bytes_be(raw);
    wipe(raw);
    mpz_fdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), bits - 1);
    mpz_setbit(x.get_mpz_t(), bits - 2);
    mpz_setbit(x.get_mpz_t(), 0);
    return x;
}

}  // namespace

std::vector<std::uint32_t> small_primes() {
    std::vector<std::uint8_t> composite(SIEVE_LIMIT + 1, 0);
    std::vector<std::uint32_t> primes;
    for (std::uint32_t i = 3; i < SIEVE_LIMIT; i += 2) {
        if (composite[i]) continue;
        primes.push_back(i);
        for (std::uint32_t j = i * i; j <= SIEVE_LIMIT; j += 2 * i) composite[j] = 1;
    }
    return primes;
}

bool probably_prime(const mpz_class& x) {
    int t = mpz_probab_prime_p(x.get_mpz_t(), PRIMALITY_REPS);
    ensure(t >= 0 && t <= 2, "internal error: entered unreachable code");
    return t != 0;
}

mpz_class safe_prime(std::uint32_t bits) {
    ensure(bits >= 8, "a safe prime shorter than eight bits is not searched for");
    const std::vector<std::uint32_t> primes = small_primes();
    for (;;) {
        checkpoint();
        const WipedInteger x = draw_half(bits);  // in the end, the result's (p - 1)/2
        if (!survives_sieve(x, primes) || !probably_prime(x)) continue;
        mpz_class p = 2 * x + 1;
        if (probably_prime(p)) return p;
    }
}

}  // namespace hecrypt
