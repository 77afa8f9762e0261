// Products of ciphertexts by plaintext scalars, E(x) -> E(k x) = c^k mod n^2.
// Both entry points share the checks; they differ in the scalar bound and in
// how the power is taken: at a fixed 66-bit width in constant time for
// secret scalars, or by one ordinary exponentiation for public ones. The
// pairs are taken in order on the calling thread, a chunk at a time: on the
// 8-lane engine a chunk's powers run eight at once.

#include "core/support/ct.hpp"
#include "core/encoding/fixed_point.hpp"
#include "core/engine/portable/mont.hpp"
#include "core/ops/ops.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/support/secure_memory.hpp"
#include "powers8.hpp"
#include "terms.hpp"

namespace hecrypt {

namespace {

constexpr unsigned PUBLIC_SCALAR_BITS = 53;

// Pairs checked before their powers are taken, on the 8-lane engine.
constexpr std::size_t CHUNK_PAIRS = 64;

// The scalar bound test of a path, and its powers of a chunk of checked
// pairs, in order, or the refusal of the lowest pair whose power is refused.
struct PowerPath {
    Status (*bound)(const ScalarPair&);
    Outcome<std::vector<mpz_class>> (*powers)(const PublicKeyRecord&, std::span<const ScalarPair>);
};

Status check_product_scale(std::size_t position, unsigned p, unsigned d) {
    if (p + d <= MAX_SCALE_POW10) return Done{};
    return refuse(scalar_label(position) + ": the product lands at scale 1e" +
                  std::to_string(p + d) + " (1e" + std::to_string(p) +
                  " of the ciphertext times 1e" + std::to_string(d) +
                  " of the scalar), past the 1e" + std::to_string(MAX_SCALE_POW10) +
                  " this encoding allows. Lower scalar_scale_pow10 - the product's scale is the "
                  "SUM of the two, so multiplication does not compose at the default");
}

Outcome<mpz_class> encode_scalar(std::size_t position, double scalar, unsigned d) {
    const double factor = scale_factor(d);
    Outcome<mpz_class> k = encode_value(scalar, factor);
    if (!k.ok()) return refuse(scalar_label(position) + ": " + k.refusal());
    // Only whether k is zero is read, and that refusal tells it anyway.
    if (ct_reveal(static_cast<int>(k.value().get_mpz_t()->_mp_size == 0)) != 0)
        return refuse(scalar_label(position) + " encodes to zero at scale " +
                      format_exponential(factor) + " (it is " + format_exponential(scalar) +
                      "): the product would be the constant 1, destroying the value and marking "
                      "the result as recognisably zero to anyone who sees it. Encrypt a zero if "
                      "that is the intent");
    return k;
}

Outcome<ScalarPair> check_pair(const PublicKeyRecord& pk, ByteView blob, double scalar,
                               std::size_t position, std::optional<unsigned> scalar_scale,
                               const PowerPath& path) {
    Outcome<ParsedBlob> parsed = parse_in_range(blob, position, pk.n_squared, RangeWording::Plain);
    if (!parsed.ok()) return parsed.take_refusal();
    const unsigned p = parsed.value().scale;
    const unsigned d = scalar_scale.value_or(p);
    if (Status scale = check_product_scale(position, p, d); !scale.ok())
        return scale.take_refusal();
    Outcome<mpz_class> k = encode_scalar(position, scalar, d);
    if (!k.ok()) return k.take_refusal();
    ScalarPair pair{position, std::move(parsed.value().ciphertext), std::move(k.value()), p + d};
    if (Status bound = path.bound(pair); !bound.ok()) return bound.take_refusal();
    return pair;
}

// The pairs [begin, end) checked in order up to the first refused one, whose
// refusal is kept in `refused`.
std::vector<ScalarPair> check_chunk(const PublicKeyRecord& pk, Blobs blobs,
                                    std::span<const double> scalars, std::size_t begin,
                                    std::size_t end, std::optional<unsigned> scalar_scale,
                                    const PowerPath& path, std::optional<Refusal>& refused) {
    std::vector<ScalarPair> pairs;
    for (std::size_t i = begin; i < end; ++i) {
        Outcome<ScalarPair> pair = check_pair(pk, blobs[i], scalars[i], i + 1, scalar_scale, path);
        if (!pair.ok()) {
            refused = pair.take_refusal();
            break;
        }
        pairs.push_back(std::move(pair.value()));
    }
    return pairs;
}

// A pair's own refusal comes before anything of a later pair: the powers of
// the pairs before a refused one are taken first, and one of them may be
// refused in turn.
Outcome<std::vector<Bytes>> multiply_all(const char* name, const PublicKeyRecord& pk, Blobs blobs,
                                         std::span<const double> scalars,
                                         std::optional<unsigned> scalar_scale,
                                         const PowerPath& path) {
    if (blobs.size() != scalars.size())
        return refuse(std::string(name) + " got " + std::to_string(blobs.size()) +
                      " ciphertexts and " + std::to_string(scalars.size()) +
                      " scalars: they are paired by position, and a length mismatch means the "
                      "pairing the caller intended is not the one that would happen");
    const std::size_t chunk = pk.table8 ? CHUNK_PAIRS : 1;
    std::vector<Bytes> out;
    out.reserve(blobs.size());
    for (std::size_t begin = 0; begin < blobs.size(); begin += chunk) {
        checkpoint();
        std::optional<Refusal> refused;
        std::vector<ScalarPair> pairs =
            check_chunk(pk, blobs, scalars, begin, std::min(blobs.size(), begin + chunk),
                        scalar_scale, path, refused);
        Outcome<std::vector<mpz_class>> powers = path.powers(pk, pairs);
        if (!powers.ok()) return powers.take_refusal();
        for (std::size_t i = 0; i < pairs.size(); ++i)
            out.push_back(write_blob(static_cast<std::uint8_t>(pairs[i].scale), powers.value()[i]));
        if (refused) return std::move(*refused);
    }
    return out;
}

Refusal not_invertible(std::size_t position) {
    return refuse(ciphertext_label(position) +
                  " is not invertible modulo n^2: it shares a factor with n, so it is not a "
                  "ciphertext under this key");
}

Refusal not_coprime(std::size_t position) {
    return refuse(ciphertext_label(position) +
                  " shares a factor with n, so it is not a ciphertext under this key");
}

// Whether |k| < 2^64, by a copy of its low limb that collects the others:
// the refusal is the only thing that tells.
Status secret_bound(const ScalarPair& pair) {
    Wiped<mp_limb_t> low;
    if (ct_reveal(ct_copy_limbs(pair.k, std::span(&low.get(), 1))) == 0) return Done{};
    return refuse(scalar_label(pair.position) + " encodes to " +
                  std::to_string(decimal_text(abs(pair.k)).size()) + " digits, past the " +
                  std::to_string(SCALAR_BITS) +
                  "-bit width every scalar exponentiation runs at. The width is fixed on "
                  "purpose: a per-scalar width would show the magnitude of the scalar in the "
                  "timing");
}

Status public_bound(const ScalarPair& pair) {
    if (bit_length(pair.k) <= PUBLIC_SCALAR_BITS) return Done{};
    return refuse(scalar_label(pair.position) + " encodes to " + decimal_text(pair.k) +
                  " — past 2^53, where an f64 no longer holds every integer, so the value "
                  "that would be used is not the one that was asked for. Lower "
                  "scalar_scale_pow10, or scale the values down");
}

Outcome<std::vector<mpz_class>> secret_powers(const PublicKeyRecord& pk,
                                              std::span<const ScalarPair> pairs) {
    if (pk.table8) {
        if (auto bad = first_not_coprime(pairs, pk.n)) return not_invertible(pairs[*bad].position);
        return secret_powers8(pk, pairs);
    }
    std::vector<mpz_class> out;
    for (const ScalarPair& pair : pairs) {
        std::optional<mpz_class> power = scalar_power(pair.c, pair.k, pk.n_squared);
        if (!power) return not_invertible(pair.position);
        out.push_back(std::move(*power));
    }
    return out;
}

// Variable-time powers; the caller has declared the scalars public.
Outcome<std::vector<mpz_class>> public_powers(const PublicKeyRecord& pk,
                                              std::span<const ScalarPair> pairs) {
    if (auto bad = first_not_coprime(pairs, pk.n)) return not_coprime(pairs[*bad].position);
    if (pk.table8) return public_powers8(pk, pairs);
    std::vector<mpz_class> out;
    for (const ScalarPair& pair : pairs) out.push_back(pow_mod_vartime(pair.c, pair.k, pk.n_squared));
    return out;
}

}  // namespace

// Written word by word: an mpz would not do, as setting its size would test
// the top limb.
FixedExponent fixed_width_exponent(const mpz_class& k) {
    const mp_limb_t magnitude = mpz_limbs_read(k.get_mpz_t())[0];
    // The sign bit of the size, not a comparison that could become a branch.
    const auto size = static_cast<std::uint32_t>(k.get_mpz_t()->_mp_size);
    const mp_limb_t negative = ct_barrier(static_cast<mp_limb_t>(size >> 31));
    return {(magnitude ^ (0 - negative)) + negative, 3 - negative};  // 2^64 - |k| when k < 0
}

// c^k as c^(k + 3 2^64) c^(-3 2^64): every exponent has exactly 66 bits, so
// the time of the constant-time powers does not reveal k. c^(k + 3 2^64)
// stays in fixed-width limbs up to the product, whose value is the result:
// GMP's general arithmetic would branch on it. c^(3 2^64) and its inverse
// are public.
std::optional<mpz_class> scalar_power(const mpz_class& c, const mpz_class& k,
                                      const mpz_class& modulus) {
    const mpz_class offset = mpz_class(3) << SCALAR_BITS;
    mpz_class b = secure_pow_mod(c, offset, SCALAR_BITS + 2, modulus);  // tests c and the modulus
    const std::size_t width = mpz_size(modulus.get_mpz_t());
    WipedLimbs e(2), a(width);
    std::ranges::copy(fixed_width_exponent(k), e.span().begin());
    ct_pow_limbs(a.span(), limbs_of(c), e.view(), SCALAR_BITS + 2, limbs_of(modulus));
    if (mpz_invert(b.get_mpz_t(), b.get_mpz_t(), modulus.get_mpz_t()) == 0) return std::nullopt;
    Limbs b_inverse(width);
    write_limbs(b, b_inverse);
    mpz_class result;
    LimbSpan out(mpz_limbs_write(result.get_mpz_t(), static_cast<mp_size_t>(width)), width);
    ct_mul_mod(out, a.view(), b_inverse, limbs_of(modulus));
    ct_limbs_finish(result.get_mpz_t(), width);
    return result;
}

Outcome<std::vector<Bytes>> multiply_many(const PublicKeyRecord& pk, Blobs blobs,
                                          std::span<const double> scalars,
                                          std::optional<unsigned> scalar_scale_pow10) {
    const StackWipe wipe_stack(SCALAR_STACK_WIPE_BYTES);
    return multiply_all("multiply_many", pk, blobs, scalars, scalar_scale_pow10,
                        PowerPath{secret_bound, secret_powers});
}

Outcome<std::vector<Bytes>> multiply_many_public(const PublicKeyRecord& pk, Blobs blobs,
                                                 std::span<const double> scalars,
                                                 std::optional<unsigned> scalar_scale_pow10) {
    return multiply_all("multiply_many_public", pk, blobs, scalars, scalar_scale_pow10,
                        PowerPath{public_bound, public_powers});
}

}  // namespace hecrypt
