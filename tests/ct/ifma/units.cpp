// The units around the kernels with their secrets tainted: decryption on
// both engines (the lanes, the reductions, the L function and the CRT), the
// products by secret scalars from the rounded double onwards (its conversion,
// the exponent words, the 8-lane powers and the portable ones), and the
// portable window table. The keys, the ciphertexts and the expected results
// are made with GMP before anything is tainted.
#include <sanitizer/msan_interface.h>

#include <cstdio>
#include <initializer_list>
#include <utility>
#include <vector>

#include "core/encoding/fixed_point.hpp"
#include "core/engine/dispatch.hpp"
#include "core/keys/keys.hpp"
#include "core/keys/secret.hpp"
#include "core/support/ct.hpp"
#include "harness.hpp"
#include "known_primes.hpp"

namespace hecrypt::ct_ifma {

namespace {

mpz_class hex(const char* digits) { return mpz_class(digits, 16); }

mpz_class pow_mod(const mpz_class& base, const mpz_class& e, const mpz_class& m) {
    mpz_class out;
    mpz_powm(out.get_mpz_t(), base.get_mpz_t(), e.get_mpz_t(), m.get_mpz_t());
    return out;
}

// Every secret field of the record. The engine's own copies (the lanes of p^2
// and q^2, the exponents) are built before and stay untainted: the engine
// keeps them out of reach.
void make_key_secret(SecretKeyRecord& sk) {
    for (const mpz_class* x : {&sk.p, &sk.q, &sk.p_squared, &sk.q_squared, &sk.p_minus_1,
                               &sk.q_minus_1, &sk.hp, &sk.hq, &sk.p_inv_q})
        make_secret(*x);
}

// A unit mod n^2 with a factor of 2 in it, as good as random for the checks.
mpz_class random_unit(const mpz_class& n) { return 2 * random_below(n / 2) + 1; }

// (1 + m n) x^n mod n^2: a ciphertext of m made without the key.
mpz_class ciphertext_of(const mpz_class& m, const mpz_class& n) {
    const mpz_class n2 = n * n;
    mpz_class head = (1 + m * n) % n2;
    if (head < 0) head += n2;
    return head * pow_mod(random_unit(n), n, n2) % n2;
}

// Seven ciphertexts, a group of four and one of three, with the ends of the
// signed range among the plaintexts.
void check_decryption_on(SecretKeyRecord& sk, const char* engine) {
    const mpz_class plaintexts[] = {0,         1,         -1, 123456789, -(mpz_class(1) << 200),
                                    sk.half_n, -sk.half_n};
    std::vector<mpz_class> cs;
    for (const mpz_class& m : plaintexts) cs.push_back(ciphertext_of(m, sk.n));
    std::vector<const mpz_class*> group;
    for (const mpz_class& c : cs) group.push_back(&c);
    make_key_secret(sk);
    const std::vector<mpz_class> got = decrypt_integers(sk, group);
    for (std::size_t i = 0; i < got.size(); ++i) {
        make_public(got[i]);
        expect(got[i] == plaintexts[i], engine, bit_length(sk.n));
    }
}

void check_decryption() {
    const mpz_class p = hex(testing::SAFE_PRIME_1024_1), q = hex(testing::SAFE_PRIME_1024_2);
    for (const auto& [choice, engine] :
         {std::pair{EngineChoice::ifma, "decrypt_integers on the 8-lane engine"},
          std::pair{EngineChoice::portable, "decrypt_integers on the portable engine"}}) {
        std::optional<SecretKeyRecord> sk = prepare_decryption(p, q);
        expect(sk.has_value(), "prepare_decryption", 2048);
        SecretKeyRecord on = on_engine(std::move(*sk), choice);
        check_decryption_on(on, engine);
    }
    std::fprintf(stderr,
                 "ct_ifma: decryption of a 2048-bit key through both engines, every secret "
                 "field of the record tainted\n");
}

// Scalars of every sign and size the products take, eight and two more, so
// that a group of 8 lanes and one with idle lanes both run.
constexpr double SCALARS[] = {3.0,     -3.0, 1.0,      -1.0,       0x1.fffffffffffffp63,
                              -0x1p63, 1e19, -98765.0, 0x1p52 + 1, -123456789.0};

void check_products() {
    const mpz_class n = hex(testing::SAFE_PRIME_1024_1) * hex(testing::SAFE_PRIME_1024_2);
    const mpz_class n2 = n * n;
    std::vector<mpz_class> cs, expected;
    std::vector<WipedInteger> ks;
    for (double y : SCALARS) {
        const mpz_class c = random_unit(n);
        expected.push_back(pow_mod(c, integer_of_double(y), n2));
        double secret = y;
        __msan_poison(&secret, sizeof secret);
        WipedInteger k = integer_of_double(secret);
        // As the bound test of the products reads it.
        mp_limb_t low = 0;
        expect(ct_reveal(ct_copy_limbs(k, std::span(&low, 1))) == 0, "ct_copy_limbs", 64);
        cs.push_back(c);
        ks.push_back(std::move(k));
    }
    std::vector<PowerRequest> requests;
    for (std::size_t i = 0; i < cs.size(); ++i) requests.push_back({&cs[i], &ks[i]});
    for (const auto& [choice, engine] :
         {std::pair{EngineChoice::ifma, "secret_powers on the 8-lane engine"},
          std::pair{EngineChoice::portable, "secret_powers on the portable engine"}}) {
        Powers powers = public_engine(build_table(2, n2, 0), n, choice)->secret_powers(requests);
        expect(!powers.no_inverse && powers.values.size() == cs.size(), engine, bit_length(n2));
        for (std::size_t i = 0; i < cs.size(); ++i) {
            make_public(powers.values[i]);
            expect(powers.values[i] == expected[i], engine, bit_length(n2));
        }
    }
    std::fprintf(stderr,
                 "ct_ifma: %zu products by secret scalars from their doubles, 8-lane and "
                 "portable, modulo a 4096-bit n^2\n",
                 std::size(SCALARS));
}

// The portable table with digits from a secret exponent, as pow_fixed8's
// check does for the 8-lane one.
void check_pow_fixed() {
    constexpr std::size_t BYTES = 32;
    Modulus mod(4096);
    const mpz_class base = random_below(mod.m);
    const FixedBaseTable table =
        build_table(base, mod.m, (8 * BYTES + WINDOW_BITS - 1) / WINDOW_BITS);
    Bytes e(BYTES);
    for (std::uint8_t& byte : e) byte = static_cast<std::uint8_t>(random_below(256).get_ui());
    const mpz_class expected = pow_mod(base, from_bytes_be(e), mod.m);
    __msan_poison(e.data(), e.size());
    const mpz_class got = pow_fixed(table, exponent_digits(e));
    make_public(got);
    expect(got == expected, "pow_fixed", mod.bits);
    std::fprintf(stderr, "ct_ifma: pow_fixed, an exponent of %zu secret bytes\n", BYTES);
}

constexpr Check UNIT_CHECKS[] = {check_decryption, check_products, check_pow_fixed};

}  // namespace

std::span<const Check> unit_checks() { return UNIT_CHECKS; }

}  // namespace hecrypt::ct_ifma
