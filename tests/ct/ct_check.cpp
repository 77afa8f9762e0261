// Constant-time check in the manner of ctgrind. Each secret input is marked
// undefined for valgrind's memcheck, which then reports every conditional
// jump and every memory index computed from it. Results are marked defined
// again before they are compared, so only the computation is judged.
// scripts/ct-check builds this and runs it under memcheck. tests/ct/gmp.supp
// lets through only what GMP's side-channel-silent functions do with a secret
// modulus; any other report fails the run.
//
// `ct_check --canary NAME` instead runs one deliberately variable-time GMP
// call on a marked secret. memcheck must report it: a canary that passes
// means the suppressions hide more than they say, and scripts/ct-check fails.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "../core/key_fixtures.hpp"
#include "core/encoding/fixed_point.hpp"
#include "core/encoding/packed.hpp"
#include "core/engine/engine.hpp"
#include "core/engine/portable/engines.hpp"
#include "core/keys/crt_masks.hpp"
#include "core/keys/secret.hpp"
#include "core/ops/terms.hpp"
#include "core/support/ct.hpp"

namespace {

using namespace hecrypt;
using testing::textbook_encrypt;

int failures = 0;

void expect(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "ct_check: wrong result from %s\n", what);
    ++failures;
}

std::size_t limb_bytes(const mpz_class& x) { return mpz_size(x.get_mpz_t()) * sizeof(mp_limb_t); }

// The value of x. Its limb count stays public: for a key field it is fixed by
// the key length.
void mark_secret(const mpz_class& x) {
    VALGRIND_MAKE_MEM_UNDEFINED(mpz_limbs_read(x.get_mpz_t()), limb_bytes(x));
}

// The value and the sign: the size field goes too.
void mark_secret_signed(const mpz_class& x) {
    mark_secret(x);
    VALGRIND_MAKE_MEM_UNDEFINED(&x.get_mpz_t()->_mp_size, sizeof x.get_mpz_t()->_mp_size);
}

// The lowest bit of x public again: a modulus is odd by construction, and
// the Montgomery set-up checks that it is.
void mark_parity_public(const mpz_class& x) {
    const mp_limb_t* low = mpz_limbs_read(x.get_mpz_t());
    mp_limb_t vbits = 0;
    VALGRIND_GET_VBITS(low, &vbits, sizeof vbits);
    vbits &= ~mp_limb_t{1};
    VALGRIND_SET_VBITS(low, &vbits, sizeof vbits);
}

// A result, limbs and fields, which GMP may have sized from secret data.
void mark_public(const mpz_class& x) {
    VALGRIND_MAKE_MEM_DEFINED(x.get_mpz_t(), sizeof(*x.get_mpz_t()));
    VALGRIND_MAKE_MEM_DEFINED(mpz_limbs_read(x.get_mpz_t()), limb_bytes(x));
}

mpz_class power(const mpz_class& base, const mpz_class& e, const mpz_class& m) {
    mpz_class out;
    mpz_powm(out.get_mpz_t(), base.get_mpz_t(), e.get_mpz_t(), m.get_mpz_t());
    return out;
}

// (a) The secret key: the primes and everything derived from them. The
// plaintexts sit on both sides of the signed lift and at its edges.
void check_decryption(const SecretKeyRecord& sk) {
    const std::initializer_list<const mpz_class*> secrets = {
        &sk.p,         &sk.q,  &sk.p_squared, &sk.q_squared, &sk.p_minus_1,
        &sk.q_minus_1, &sk.hp, &sk.hq,        &sk.p_inv_q};
    const mpz_class big("123456789012345678901234567890123456789");
    const mpz_class plaintexts[] = {0, 1, -1, big, -big, sk.half_n, -sk.half_n};
    for (const mpz_class* secret : secrets) mark_secret(*secret);
    unsigned long x = 2;
    for (const mpz_class& m : plaintexts) {
        std::optional<mpz_class> got = decrypt_integer(sk, textbook_encrypt(sk.n, m, x++));
        if (got) mark_public(*got);
        expect(got && *got == m, "decrypt_integer");
    }
    for (const mpz_class* secret : secrets) mark_public(*secret);
    std::fprintf(stderr, "ct_check: decrypt_integer, %zu ciphertexts\n", std::size(plaintexts));
}

// (b) The scalar of multiply_many, sign included, at both ends of its range.
void check_scalar_power(const PublicKeyRecord& pk) {
    const mpz_class c = textbook_encrypt(pk.n, 1234567, 5);
    const mpz_class top("ffffffffffffffff", 16);
    const mpz_class scalars[] = {1, -1, 3, -3, top, -top, mpz_class(1) << 63};
    for (const mpz_class& scalar : scalars) {
        const mpz_class expected = power(c, scalar, pk.n_squared);
        mpz_class k = scalar;
        mark_secret_signed(k);
        std::optional<mpz_class> got = scalar_power(c, k, pk.n_squared);
        if (got) mark_public(*got);
        expect(got && *got == expected, "scalar_power");
    }
    std::fprintf(stderr, "ct_check: scalar_power, %zu scalars\n", std::size(scalars));
}

// (c) The random exponent r of an encryption: its bytes, and so the digits
// exponent_digits makes of them, which pick the table entries of the key's
// engine (the portable one: valgrind runs no AVX-512).
void check_fixed_base(const PublicKeyRecord& pk) {
    const mpz_class& hs = pk.hs;
    const std::uint8_t fills[] = {0x00, 0xff, 0x5a};
    for (std::uint8_t fill : fills) {
        Bytes r(pk.exponent_byte_count);
        for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(fill ^ (i * 7));
        const mpz_class expected = power(hs, from_bytes_be(r), pk.n_squared);
        VALGRIND_MAKE_MEM_UNDEFINED(r.data(), r.size());
        Digits digits = exponent_digits(r);
        const mpz_class got = std::move(pk.engine->masks(std::span(&digits, 1)).front());
        mark_public(got);
        expect(got == expected, "pow_fixed");
    }
    std::fprintf(stderr, "ct_check: pow_fixed, %zu exponents\n", std::size(fills));
}

// (d) The key holder's encryption: its tables set up from the marked primes
// (the Montgomery constants of p, q, p^2 and q^2, hs reduced modulo the
// squares, the constants of the plaintext's factor and of the CRT), then
// ciphertexts from marked exponents and marked plaintexts, sign and size
// included: powers modulo p^2 and q^2, the factor 1 + m n applied to each and
// the two recombined. The portable engine: valgrind runs no AVX-512.
void check_crt_ciphertexts(const KeyPair& pair) {
    const SecretKeyRecord& sk = pair.secret_key;
    const PublicKeyRecord& pk = pair.public_key;
    const std::initializer_list<const mpz_class*> secrets = {&sk.p, &sk.q, &sk.p_squared,
                                                             &sk.q_squared, &sk.p_inv_q};
    CrtMasks masks(pk.hs);
    for (const mpz_class* secret : secrets) mark_secret(*secret);
    for (const mpz_class* modulus : {&sk.p, &sk.q, &sk.p_squared, &sk.q_squared})
        mark_parity_public(*modulus);
    masks.prepare(sk);
    const mpz_class big("123456789012345678901234567890123456789");
    const mpz_class bound = plaintext_bound(pk.n);
    const mpz_class values[] = {0, -1, big, -big, bound, -bound};
    std::vector<Digits> exponents;
    std::vector<WipedInteger> plaintexts;
    std::vector<mpz_class> expected;
    for (std::size_t item = 0; item < std::size(values); ++item) {
        Bytes r(pk.exponent_byte_count);
        for (std::size_t i = 0; i < r.size(); ++i)
            r[i] = static_cast<std::uint8_t>((0x5a * item) ^ (i * 5));
        mpz_class c = (values[item] * pk.n + 1) * power(pk.hs, from_bytes_be(r), sk.n_squared);
        mpz_fdiv_r(c.get_mpz_t(), c.get_mpz_t(), sk.n_squared.get_mpz_t());
        expected.push_back(c);
        VALGRIND_MAKE_MEM_UNDEFINED(r.data(), r.size());
        exponents.push_back(exponent_digits(r));
        mark_secret_signed(plaintexts.emplace_back(values[item]));
    }
    const std::vector<WipedLimbs> got = masks.ciphertexts(exponents, plaintexts);
    for (std::size_t item = 0; item < got.size(); ++item) {
        const LimbView limbs = got[item].view();
        VALGRIND_MAKE_MEM_DEFINED(limbs.data(), limbs.size_bytes());
        expect(ct_from_limbs(limbs) == expected[item], "CrtMasks::ciphertexts");
    }
    for (const mpz_class* secret : secrets) mark_public(*secret);
    std::fprintf(stderr, "ct_check: CrtMasks set-up and ciphertexts, %zu items\n", got.size());
}

// (e) A decrypted packed plaintext, whose slots are unpacked from it: signed,
// written at the width of n as decryption writes it, inside and one past
// either end of what its slots hold.
void check_packed_slots(const SecretKeyRecord& sk) {
    struct Case {
        mpz_class m;
        unsigned slots, slot_bits;
        bool fits;
    };
    // the ends of what 2 slots of 64 bits hold: 2^63 - 1 and -2^63 in both
    const mpz_class top = (mpz_class(1) << 127) - (mpz_class(1) << 63) - 1;
    const mpz_class bottom = -(mpz_class(1) << 127) - (mpz_class(1) << 63);
    const Case cases[] = {{12345, 2, 64, true},  {-12345, 2, 64, true},
                          {top, 2, 64, true},    {top + 1, 2, 64, false},
                          {bottom, 2, 64, true}, {bottom - 1, 2, 64, false},
                          {-1, 31, 64, true},    {0, 1, 2000, true}};
    for (const Case& c : cases) {
        WipedInteger m;
        const std::size_t width = mpz_size(sk.n.get_mpz_t());
        std::fill_n(mpz_limbs_write(m.get_mpz_t(), static_cast<mp_size_t>(width)), width, 0);
        m = c.m;  // keeps the room of the width of n
        VALGRIND_MAKE_MEM_UNDEFINED(mpz_limbs_read(m.get_mpz_t()), width * sizeof(mp_limb_t));
        VALGRIND_MAKE_MEM_UNDEFINED(&m.get_mpz_t()->_mp_size, sizeof m.get_mpz_t()->_mp_size);
        WipedLimbs y(offset_width(sk.n));
        mp_limb_t fits = offset_slots(m, sk.n, c.slots, c.slot_bits, y);
        VALGRIND_MAKE_MEM_DEFINED(&fits, sizeof fits);
        VALGRIND_MAKE_MEM_DEFINED(y.data(), y.view().size() * sizeof(mp_limb_t));
        mark_public(m);
        expect((fits != 0) == c.fits, "offset_slots");
    }
    std::fprintf(stderr, "ct_check: offset_slots, %zu plaintexts\n", std::size(cases));
}

// Canary: decryption's first power, c^(p-1) mod p^2, by mpz_powm, which picks
// each window of the exponent by its bits and indexes its table with it.
void canary_powm(const SecretKeyRecord& sk) {
    const mpz_class c = textbook_encrypt(sk.n, 42, 3);
    mpz_class e = sk.p_minus_1;
    const mpz_class expected = power(c, e, sk.p_squared);
    mark_secret(e);
    const mpz_class got = power(c, e, sk.p_squared);
    mark_public(got);
    mark_public(e);
    expect(got == expected, "the mpz_powm canary");
}

// Canary: a secret times a public value by GMP's general multiplication, which
// at the width of n^2 runs Toom-Cook and branches on its operands.
void canary_mul(const SecretKeyRecord& sk) {
    mpz_class secret = sk.n_squared - 12345;
    const mpz_class c = textbook_encrypt(sk.n, 7, 5);
    const mpz_class expected = secret * c;
    mark_secret(secret);
    mpz_class got;
    mpz_mul(got.get_mpz_t(), secret.get_mpz_t(), c.get_mpz_t());
    mark_public(got);
    mark_public(secret);
    expect(got == expected, "the mpz_mul canary");
}

struct Canary {
    const char* name;
    void (*run)(const SecretKeyRecord&);
};
constexpr Canary CANARIES[] = {{"powm", canary_powm}, {"mul", canary_mul}};

int usage() {
    std::fprintf(stderr, "usage: ct_check [--canary powm|mul]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (!RUNNING_ON_VALGRIND) {
        std::fprintf(stderr,
                     "ct_check: the check is memcheck's reports, so run it under "
                     "valgrind --tool=memcheck (scripts/ct-check does)\n");
        return 2;
    }
    const KeyPair& pair = testing::known_keypair_2048();
    if (argc == 3 && std::strcmp(argv[1], "--canary") == 0) {
        for (const Canary& canary : CANARIES) {
            if (std::strcmp(argv[2], canary.name) != 0) continue;
            canary.run(pair.secret_key);
            std::fprintf(stderr, "ct_check: canary %s ran; memcheck must report it\n", canary.name);
            return failures == 0 ? 0 : 1;
        }
        return usage();
    }
    if (argc != 1) return usage();
    check_decryption(pair.secret_key);
    check_scalar_power(pair.public_key);
    check_fixed_base(pair.public_key);
    check_crt_ciphertexts(pair);
    check_packed_slots(pair.secret_key);
    return failures == 0 ? 0 : 1;
}
