// Constant time in: the primes and the key derived from the passphrase.
#include "core/keys/sealed.hpp"

#include <sodium.h>

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "core/keys/primes.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/rng.hpp"
#include "core/support/secure_memory.hpp"

namespace hecrypt {

namespace {

constexpr std::string_view MAGIC = "hecrypt-seal";
constexpr std::size_t VERSION_AT = MAGIC.size();
constexpr std::size_t OPSLIMIT_AT = VERSION_AT + 1;
constexpr std::size_t MEMLIMIT_AT = OPSLIMIT_AT + 8;
constexpr std::size_t SALT_AT = MEMLIMIT_AT + 8;
constexpr std::size_t SALT_BYTES = crypto_pwhash_SALTBYTES;
constexpr std::size_t NONCE_AT = SALT_AT + SALT_BYTES;
constexpr std::size_t NONCE_BYTES = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr std::size_t LENGTH_AT = NONCE_AT + NONCE_BYTES;
constexpr std::size_t MODULUS_AT = LENGTH_AT + 2;
constexpr std::size_t TAG_BYTES = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr std::size_t KEY_BYTES = crypto_aead_xchacha20poly1305_ietf_KEYBYTES;

static_assert(MODULUS_AT == 71 && SALT_BYTES == 16 && NONCE_BYTES == 24 && TAG_BYTES == 16,
              "the documented layout");

constexpr const char* UNSEAL_FAILED =
    "cannot unseal: the passphrase is wrong, or the sealed key was damaged or altered (which of "
    "the two is deliberately not told)";
constexpr const char* MALFORMED =
    "sealed key is damaged: its public part is truncated or malformed";

// Where a sealed key of version 1 keeps what it keeps. Views into the input.
struct Layout {
    KdfCost cost;
    ByteView salt, nonce, modulus, associated, sealed_primes;
    mpz_class n;
};

void ready_sodium() {
    // sodium_init is idempotent and thread-safe; the static runs it once.
    static const int ready = sodium_init();
    ensure(ready >= 0, "libsodium could not be initialised");
}

std::uint64_t read_be(ByteView bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes[at + i];
    return value;
}

void write_be(std::span<std::uint8_t> bytes, std::size_t at, std::size_t width,
              std::uint64_t value) {
    for (std::size_t i = width; i-- > 0; value >>= 8) bytes[at + i] = value & 0xff;
}

// x in exactly out.size() bytes, zeros in front.
void write_fixed_be(const mpz_class& x, std::span<std::uint8_t> out) {
    const std::size_t length = (bit_length(x) + 7) / 8;
    ensure(length <= out.size(), "a prime is longer than its modulus");
    std::fill(out.begin(), out.end(), 0);
    std::size_t written = 0;
    if (length > 0)
        mpz_export(out.data() + out.size() - length, &written, 1, 1, 1, 0, x.get_mpz_t());
}

// The magic and the version say what the bytes are, not whether they are
// intact, so they are the only parts refused in words of their own. A prefix
// of the magic passes, so every truncation of a sealed key meets the one
// refusal of damage.
Status check_identity(ByteView sealed) {
    const std::size_t seen = std::min(sealed.size(), MAGIC.size());
    if (!std::equal(sealed.begin(), sealed.begin() + seen, MAGIC.begin()))
        return refuse("not a sealed key: it does not start with the bytes hecrypt-seal");
    if (sealed.size() > VERSION_AT && sealed[VERSION_AT] != SEALED_VERSION)
        return refuse("sealed key of format version " + std::to_string(sealed[VERSION_AT]) +
                      " cannot be read: this module reads version " +
                      std::to_string(SEALED_VERSION));
    return Done{};
}

Status check_passphrase(ByteView passphrase) {
    if (passphrase.empty()) return refuse("passphrase must not be empty");
    if (passphrase.size() > crypto_pwhash_PASSWD_MAX)
        return refuse("passphrase of " + std::to_string(passphrase.size()) +
                      " bytes is longer than the " + std::to_string(crypto_pwhash_PASSWD_MAX) +
                      " bytes the key derivation takes");
    return Done{};
}

// Every length, bound and the modulus's shape, before any work is spent.
std::optional<Layout> parse_layout(ByteView sealed) {
    if (sealed.size() < MODULUS_AT) return std::nullopt;
    const std::size_t length = read_be(sealed, LENGTH_AT, 2);
    if (length == 0 || length > MAX_MODULUS_BYTES ||
        sealed.size() != MODULUS_AT + 3 * length + TAG_BYTES)
        return std::nullopt;
    Layout layout{{read_be(sealed, OPSLIMIT_AT, 8), read_be(sealed, MEMLIMIT_AT, 8)},
                  sealed.subspan(SALT_AT, SALT_BYTES),
                  sealed.subspan(NONCE_AT, NONCE_BYTES),
                  sealed.subspan(MODULUS_AT, length),
                  sealed.first(MODULUS_AT + length),
                  sealed.subspan(MODULUS_AT + length),
                  {}};
    if (!accepted_kdf_cost(layout.cost) || layout.modulus[0] == 0) return std::nullopt;
    layout.n = from_bytes_be(layout.modulus);
    if (!validate_public(layout.n).ok()) return std::nullopt;
    return layout;
}

// Argon2id holds the calling thread for up to a few seconds and cannot be
// stopped part-way; a stop is honoured on either side of it.
void derive_key(WipedBytes& key, ByteView passphrase, ByteView salt, KdfCost cost) {
    checkpoint();
    const int derived =
        crypto_pwhash(key.data(), key.size(), reinterpret_cast<const char*>(passphrase.data()),
                      passphrase.size(), salt.data(), cost.opslimit,
                      static_cast<std::size_t>(cost.memlimit), crypto_pwhash_ALG_ARGON2ID13);
    // With the limits and lengths checked, only its memory can be missing.
    if (derived != 0) throw std::bad_alloc();
    checkpoint();
}

struct Primes {
    WipedInteger p, q;
};

// Out of line, so that its frame and its callees' lie below the caller's stack wipe.
[[gnu::noinline]] std::optional<Primes> open_primes(const Layout& layout, ByteView passphrase) {
    WipedBytes key(KEY_BYTES);
    derive_key(key, passphrase, layout.salt, layout.cost);
    WipedBytes plain(layout.sealed_primes.size() - TAG_BYTES);
    unsigned long long opened = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            plain.data(), &opened, nullptr, layout.sealed_primes.data(),
            layout.sealed_primes.size(), layout.associated.data(), layout.associated.size(),
            layout.nonce.data(), key.data()) != 0)
        return std::nullopt;
    const std::size_t width = layout.modulus.size();
    return Primes{from_bytes_be(ByteView(plain).first(width)),
                  from_bytes_be(ByteView(plain).subspan(width))};
}

// Key generation's checks take its primes' primality for granted, since its
// own search made them so, and test only (p - 1)/2 and (q - 1)/2. Sealed
// primes come from a file: a composite with a prime half would pass those
// and give a modulus of three or more factors.
Status check_prime_factors(const Primes& primes) {
    for (const WipedInteger* factor : {&primes.p, &primes.q}) {
        checkpoint();
        if (!probably_prime(*factor))
            return refuse(
                "sealed key holds a composite number where a prime belongs: it was not sealed "
                "from a key of generate_keypair");
    }
    return Done{};
}

}  // namespace

KdfCost default_kdf_cost() {
    return {crypto_pwhash_OPSLIMIT_MODERATE, crypto_pwhash_MEMLIMIT_MODERATE};
}

KdfCost cheapest_kdf_cost() { return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN}; }

bool accepted_kdf_cost(KdfCost cost) {
    return cost.opslimit >= crypto_pwhash_OPSLIMIT_MIN &&
           cost.opslimit <= crypto_pwhash_OPSLIMIT_SENSITIVE &&
           cost.memlimit >= crypto_pwhash_MEMLIMIT_MIN &&
           cost.memlimit <= crypto_pwhash_MEMLIMIT_SENSITIVE;
}

const char* unseal_failed_message() { return UNSEAL_FAILED; }

Outcome<Bytes> seal(const SecretKeyRecord& sk, ByteView passphrase, KdfCost cost) {
    ensure(accepted_kdf_cost(cost), "a key derivation cost that unseal would refuse");
    if (Status usable = check_passphrase(passphrase); !usable.ok()) return usable.take_refusal();
    ready_sodium();
    const StackWipe wipe_stack(KEY_STACK_WIPE_BYTES);  // Argon2's and the cipher's state
    const Bytes modulus = to_bytes_be(sk.n);
    const std::size_t length = modulus.size();
    Bytes out(MODULUS_AT + 3 * length + TAG_BYTES);
    std::copy(MAGIC.begin(), MAGIC.end(), out.begin());
    out[VERSION_AT] = SEALED_VERSION;
    write_be(out, OPSLIMIT_AT, 8, cost.opslimit);
    write_be(out, MEMLIMIT_AT, 8, cost.memlimit);
    fill_random(std::span(out).subspan(SALT_AT, SALT_BYTES + NONCE_BYTES));
    write_be(out, LENGTH_AT, 2, length);
    std::copy(modulus.begin(), modulus.end(), out.begin() + MODULUS_AT);

    WipedBytes plain(2 * length);
    write_fixed_be(sk.p, std::span(plain).first(length));
    write_fixed_be(sk.q, std::span(plain).subspan(length));
    WipedBytes key(KEY_BYTES);
    derive_key(key, passphrase, ByteView(out).subspan(SALT_AT, SALT_BYTES), cost);
    const ByteView associated = ByteView(out).first(MODULUS_AT + length);
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        out.data() + associated.size(), nullptr, plain.data(), plain.size(), associated.data(),
        associated.size(), nullptr, out.data() + NONCE_AT, key.data());
    return out;
}

Outcome<KeyPair> unseal(ByteView sealed, ByteView passphrase) {
    if (Status known = check_identity(sealed); !known.ok()) return known.take_refusal();
    if (Status usable = check_passphrase(passphrase); !usable.ok()) return usable.take_refusal();
    const std::optional<Layout> layout = parse_layout(sealed);
    if (!layout) return refuse(UNSEAL_FAILED);
    ready_sodium();
    const StackWipe wipe_stack(KEY_STACK_WIPE_BYTES);  // Argon2's, the cipher's, the checks'
    const std::optional<Primes> primes = open_primes(*layout, passphrase);
    // Authentic primes that are not n's factors were sealed so by someone
    // holding the passphrase; to anyone else the file is as damaged as any.
    if (!primes || primes->p * primes->q != layout->n) return refuse(UNSEAL_FAILED);
    if (Status prime = check_prime_factors(*primes); !prime.ok()) return prime.take_refusal();
    return assemble_keypair(primes->p, primes->q);
}

Outcome<Bytes> sealed_modulus(ByteView sealed) {
    if (Status known = check_identity(sealed); !known.ok()) return known.take_refusal();
    const std::optional<Layout> layout = parse_layout(sealed);
    if (!layout) return refuse(MALFORMED);
    return Bytes(layout->modulus.begin(), layout->modulus.end());
}

}  // namespace hecrypt
