#include "core/keys/keys.hpp"

#include <algorithm>

#include "core/encoding/fixed_point.hpp"
#include "core/engine/dispatch.hpp"
#include "core/keys/crt_masks.hpp"
#include "core/keys/primes.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/pow_vartime.hpp"
#include "core/runtime/rng.hpp"
#include "core/support/secure_memory.hpp"

namespace hecrypt {

const char* message(KeyCheckError error) {
    switch (error) {
        case KeyCheckError::PrimesNotSafe:
            return "primes are not safe: (p−1)/2 or (q−1)/2 is composite. Safe primes are what "
                   "gives the order of h a large prime factor; without them the order can be "
                   "smooth and the short exponent falls to Pohlig–Hellman while every "
                   "correctness check stays green";
        case KeyCheckError::PrimesNotBlum:
            return "primes are not Blum (need p ≡ q ≡ 3 mod 4): h = −x² would not sit outside "
                   "the group of squares";
        case KeyCheckError::ExtraCyclicComponent:
            return "gcd(p−1, q−1) ≠ 2: Z*_n gains an extra cyclic component";
        case KeyCheckError::PrimesTooClose:
            return "p and q are too close: the modulus falls to Fermat factorisation. The bound "
                   "is FIPS 186-4 B.3.1, |p−q| ≥ prime_bits − 100";
        case KeyCheckError::HQuadraticResidue:
            return "h is a quadratic residue: the sign was lost. Nothing about correctness "
                   "changes, which is exactly why this is checked here";
        case KeyCheckError::XOutOfRange:
            return "x must lie in [2, n−2] and be coprime with n";
        case KeyCheckError::HsDegenerate:
            return "hs is degenerate: its order is at most two, so the randomiser takes at most "
                   "two values and the plaintext is readable by anyone holding n. Correctness is "
                   "unaffected — which is why this is checked and not assumed";
        case KeyCheckError::PowModUndefined:
            return "modular exponentiation is undefined for these arguments";
        case KeyCheckError::ModulusTooShort:
            return "modulus is shorter than 2048 bits: NIST SP 800-57 puts 112-bit strength at "
                   "2048, and anything below that is not cryptography";
        case KeyCheckError::ModulusTooLong:
            return "modulus is longer than 8192 bits: nothing needs a key that long, and "
                   "deriving hs from it takes time quadratic in its length with the GIL released";
        case KeyCheckError::AttemptBudgetExhausted:
            return "no usable x found within the attempt budget: on an honest modulus unusable "
                   "values are a handful, so this points at the modulus itself";
    }
    throw InternalFault("internal error: entered unreachable code");
}

namespace {

// Bit lengths are carried in 32 bits throughout key handling.
std::uint32_t bits32(const mpz_class& x) {
    std::size_t bits = bit_length(x);
    ensure(bits <= UINT32_MAX, "overflow");
    return static_cast<std::uint32_t>(bits);
}

std::optional<mpz_class> inverse_vartime(const mpz_class& a, const mpz_class& m) {
    mpz_class r;
    if (mpz_invert(r.get_mpz_t(), a.get_mpz_t(), m.get_mpz_t()) == 0) return std::nullopt;
    return r;
}

// One draw of x, which wipes itself on every way out; the refusal says why
// this x is unusable.
Outcome<mpz_class> try_hs(const mpz_class& n, std::optional<PrimePair> primes) {
    WipedBytes raw((bit_length(n) + 7) / 8);
    fill_random(raw);
    const WipedInteger x(from_bytes_be(raw) % n);
    mpz_class g = gcd(x, n);
    if (x < 2 || x > n - 2 || g != 1) return refuse(KeyCheckError::XOutOfRange);
    mpz_class h = (n - (x * x) % n) % n;
    if (primes && (mpz_jacobi(h.get_mpz_t(), primes->p.get_mpz_t()) != -1 ||
                   mpz_jacobi(h.get_mpz_t(), primes->q.get_mpz_t()) != -1))
        return refuse(KeyCheckError::HQuadraticResidue);
    const mpz_class m = n * n;
    const mpz_class hs = pow_mod_vartime(h, n, m);
    if (hs <= 1 || hs == m - 1) return refuse(KeyCheckError::HsDegenerate);
    return hs;
}

// The engine from the table of hs: one window per 6-bit digit of r.
std::shared_ptr<const PublicEngine> engine_of(const mpz_class& n, const mpz_class& hs,
                                              std::uint64_t exponent_bytes, EngineChoice choice) {
    return public_engine(build_table(hs, n * n, (8 * exponent_bytes + 4) / 6), n, choice);
}

PublicKeyRecord assemble_public(const mpz_class& n, const mpz_class& hs, const Unlocker& unlocker) {
    std::uint64_t b = exponent_byte_count(bits32(n));
    std::shared_ptr<const PublicEngine> engine;
    unlocker.without_lock([&] { engine = engine_of(n, hs, b, EngineChoice::automatic); });
    return PublicKeyRecord{n, n * n, hs, b, std::move(engine)};
}

Status check_request(std::uint32_t bits) {
    if (bits < MIN_MODULUS_BITS)
        return refuse("modulus of " + std::to_string(bits) + " bits is refused: the floor is " +
                      std::to_string(MIN_MODULUS_BITS) +
                      " (NIST SP 800-57 puts 112-bit strength at 2048). A shorter key passes "
                      "every correctness check and factors in microseconds");
    if (bits > MAX_MODULUS_BITS)
        return refuse("modulus of " + std::to_string(bits) + " bits is refused: the ceiling is " +
                      std::to_string(MAX_MODULUS_BITS) +
                      ". Generating safe primes that long takes unbounded time with the GIL "
                      "released, so the call could not be interrupted");
    return Done{};
}

Status check_primes(const mpz_class& p, const mpz_class& q) {
    if (bits32(p) < 1024 || bits32(q) < 1024) return refuse(KeyCheckError::ModulusTooShort);
    // Each of these gives the primes away as surely as the primes themselves.
    const WipedInteger p_minus_1 = p - 1, q_minus_1 = q - 1;
    const WipedInteger p_half = p_minus_1 / 2, q_half = q_minus_1 / 2;
    // Each test of a long prime can take a good part of a second.
    checkpoint();
    if (!probably_prime(p_half)) return refuse(KeyCheckError::PrimesNotSafe);
    checkpoint();
    if (!probably_prime(q_half)) return refuse(KeyCheckError::PrimesNotSafe);
    if (mpz_fdiv_ui(p.get_mpz_t(), 4) != 3 || mpz_fdiv_ui(q.get_mpz_t(), 4) != 3)
        return refuse(KeyCheckError::PrimesNotBlum);
    if (gcd(p_minus_1, q_minus_1) != 2) return refuse(KeyCheckError::ExtraCyclicComponent);
    const WipedInteger distance = abs(p - q);
    if (bits32(distance) + CLOSE_PRIMES_MARGIN < std::max(bits32(p), bits32(q)))
        return refuse(KeyCheckError::PrimesTooClose);
    return Done{};
}

}  // namespace

std::uint32_t PublicKeyRecord::plaintext_bound_bits() const { return bits32(plaintext_bound(n)); }

std::uint64_t exponent_byte_count(std::size_t modulus_bits) {
    return (static_cast<std::uint32_t>(modulus_bits) / 2 + 7) / 8;
}

Status validate_public(const mpz_class& n) {
    if (mpz_odd_p(n.get_mpz_t()) == 0) return refuse("modulus must be odd");
    const std::uint32_t bits = bits32(n);
    if (bits + 1 < MIN_MODULUS_BITS) return refuse(KeyCheckError::ModulusTooShort);
    if (bits > MAX_MODULUS_BITS) return refuse(KeyCheckError::ModulusTooLong);
    return Done{};
}

std::optional<mpz_class> l_function(const mpz_class& u, const mpz_class& d) {
    ensure(d != 0, "division by zero");
    // Applied to a key's g, every one of these is as secret as the key.
    WipedInteger quotient, remainder;
    const WipedInteger u_minus_1 = u - 1;
    mpz_tdiv_qr(quotient.get_mpz_t(), remainder.get_mpz_t(), u_minus_1.get_mpz_t(), d.get_mpz_t());
    if (remainder != 0) return std::nullopt;
    return std::optional<mpz_class>(std::move(quotient));
}

std::optional<SecretKeyRecord> prepare_decryption(const mpz_class& p, const mpz_class& q) {
    const StackWipe wipe_stack(KEY_STACK_WIPE_BYTES);  // GMP's temporaries of the inversions
    SecretKeyRecord sk;
    sk.n = p * q;
    sk.n_squared = sk.n * sk.n;
    sk.p_squared = p * p;
    sk.q_squared = q * q;
    sk.p_minus_1 = p - 1;
    sk.q_minus_1 = q - 1;
    auto per_prime = [&](const mpz_class& r, const mpz_class& r_squared,
                         const mpz_class& r_minus_1) -> std::optional<mpz_class> {
        // g = ((r - 1) n + 1) mod r^2 one step per variable: no unwiped
        // temporary, and no reallocation leaving a step behind.
        const WipedInteger product = r_minus_1 * sk.n;
        WipedInteger g = product + 1;
        g %= r_squared;
        std::optional<mpz_class> l = l_function(g, r);
        if (!l) return std::nullopt;
        const WipedInteger l_value(std::move(*l));
        return inverse_vartime(l_value, r);
    };
    auto hp = per_prime(p, sk.p_squared, sk.p_minus_1);
    if (!hp) return std::nullopt;
    auto hq = per_prime(q, sk.q_squared, sk.q_minus_1);
    if (!hq) return std::nullopt;
    auto p_inv_q = inverse_vartime(p, q);
    if (!p_inv_q) return std::nullopt;
    sk.hp = std::move(*hp);
    sk.hq = std::move(*hq);
    sk.p_inv_q = std::move(*p_inv_q);
    sk.half_n = sk.n >> 1;
    sk.p = p;
    sk.q = q;
    sk.engine = secret_engine(p, q);
    return sk;
}

PublicKeyRecord on_engine(PublicKeyRecord pk, EngineChoice choice) {
    pk.engine = engine_of(pk.n, pk.hs, pk.exponent_byte_count, choice);
    return pk;
}

SecretKeyRecord on_engine(SecretKeyRecord sk, EngineChoice choice) {
    sk.engine = secret_engine(sk.p, sk.q, choice);
    // The key holder's tables follow the engine: built anew on it, on first use.
    if (sk.crt_masks) sk.crt_masks = std::make_shared<CrtMasks>(sk.crt_masks->base());
    return sk;
}

Outcome<mpz_class> derive_hs(const mpz_class& n, std::optional<PrimePair> primes) {
    ensure(n != 0, "division by zero");
    for (int attempt = 0; attempt < HS_ATTEMPTS; ++attempt) {
        checkpoint();
        Outcome<mpz_class> hs = try_hs(n, primes);
        if (hs.ok()) return hs;
    }
    return refuse(KeyCheckError::AttemptBudgetExhausted);
}

Outcome<KeyPair> assemble_keypair(const mpz_class& p, const mpz_class& q,
                                  const Unlocker& unlocker) {
    const StackWipe wipe_stack(KEY_STACK_WIPE_BYTES);  // the primality tests' p - 1 among them
    if (Status checked = check_primes(p, q); !checked.ok()) return checked.take_refusal();
    mpz_class n = p * q;
    std::optional<Outcome<mpz_class>> hs;
    unlocker.without_lock([&] { hs.emplace(derive_hs(n, PrimePair{p, q})); });
    if (!hs->ok()) return hs->take_refusal();
    PublicKeyRecord pk = assemble_public(n, hs->value(), unlocker);
    std::optional<SecretKeyRecord> sk = prepare_decryption(p, q);
    if (!sk)
        return refuse(
            "cannot prepare decryption: the two primes are equal or not coprime, so "
            "the CRT split does not exist");
    sk->crt_masks = std::make_shared<CrtMasks>(hs->value());
    return KeyPair{std::move(pk), std::move(*sk)};
}

Outcome<KeyPair> generate_keypair(std::uint32_t bits, const Unlocker& unlocker) {
    if (Status request = check_request(bits); !request.ok()) return request.take_refusal();
    WipedInteger p, q;  // cleared on every way out of key generation
    unlocker.without_lock([&] {
        const StackWipe wipe_stack(KEY_STACK_WIPE_BYTES);  // before the lock is taken back
        p = safe_prime(bits / 2);
        q = safe_prime(bits / 2);
        forget_random_history();  // its state would give the primes again
    });
    return assemble_keypair(p, q, unlocker);
}

Outcome<PublicKeyRecord> public_key_from_n(ByteView raw, const Unlocker& unlocker) {
    if (raw.size() > MAX_MODULUS_BYTES)
        return refuse("modulus of " + std::to_string(raw.size()) + " bytes is longer than the " +
                      std::to_string(MAX_MODULUS_BYTES) + " bytes that " +
                      std::to_string(MAX_MODULUS_BITS) + " bits allow");
    mpz_class n = from_bytes_be(raw);
    // Counting bits takes no time worth letting go of the lock for.
    if (Status valid = validate_public(n); !valid.ok()) return valid.take_refusal();
    std::optional<Outcome<mpz_class>> hs;
    unlocker.without_lock([&] { hs.emplace(derive_hs(n, std::nullopt)); });
    if (!hs->ok()) return hs->take_refusal();
    return assemble_public(n, hs->value(), unlocker);
}

}  // namespace hecrypt
