// Products of ciphertexts by plaintext scalars, E(x) -> E(k x) = c^k mod n^2.
// Both entry points share the checks; they differ in the scalar bound and in
// how the engine takes the power: at a fixed 66-bit width in constant time
// for secret scalars, or by ordinary exponentiation for public ones. The
// pairs are spread over the pool in groups of the engine's lanes(), whose
// powers run side by side; the refusal reported is the one the pairs would
// give taken in order.

#include "core/encoding/fixed_point.hpp"
#include "core/ops/ops.hpp"
#include "core/runtime/pool.hpp"
#include "core/support/ct.hpp"
#include "core/support/secure_memory.hpp"
#include "terms.hpp"

namespace hecrypt {

namespace {

constexpr unsigned PUBLIC_SCALAR_BITS = 53;

// A pair that passed its checks: the ciphertext and the encoded scalar,
// 0 < |k| < 2^64, which may be secret and wipes itself, and the scale of the
// product.
struct ScalarPair {
    std::size_t position;
    mpz_class c;
    WipedInteger k;
    unsigned scale;
};

// The scalar bound test of a path, and its powers of a group of checked
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
std::vector<ScalarPair> check_group(const PublicKeyRecord& pk, Blobs blobs,
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

// The products of the pairs [begin, end). A pair's own refusal comes before
// anything of a later pair: the powers of the pairs before a refused one are
// taken first, and one of them may be refused in turn.
Outcome<std::vector<Bytes>> multiply_group(const PublicKeyRecord& pk, Blobs blobs,
                                           std::span<const double> scalars, std::size_t begin,
                                           std::size_t end, std::optional<unsigned> scalar_scale,
                                           const PowerPath& path) {
    const StackWipe wipe_stack(SCALAR_STACK_WIPE_BYTES);  // on whichever thread ran the group
    std::optional<Refusal> refused;
    std::vector<ScalarPair> pairs =
        check_group(pk, blobs, scalars, begin, end, scalar_scale, path, refused);
    Outcome<std::vector<mpz_class>> powers = path.powers(pk, pairs);
    if (!powers.ok()) return powers.take_refusal();
    if (refused) return std::move(*refused);
    std::vector<Bytes> out;
    out.reserve(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i)
        out.push_back(write_blob(static_cast<std::uint8_t>(pairs[i].scale), powers.value()[i]));
    return out;
}

// The groups run on the pool; the lowest refused group's refusal is its
// lowest pair's, so the caller sees what a loop in order would have given.
Outcome<std::vector<Bytes>> multiply_all(const char* name, const PublicKeyRecord& pk, Blobs blobs,
                                         std::span<const double> scalars,
                                         std::optional<unsigned> scalar_scale,
                                         const PowerPath& path) {
    if (blobs.size() != scalars.size())
        return refuse(std::string(name) + " got " + std::to_string(blobs.size()) +
                      " ciphertexts and " + std::to_string(scalars.size()) +
                      " scalars: they are paired by position, and a length mismatch means the "
                      "pairing the caller intended is not the one that would happen");
    return parallel_map_groups<Bytes>(
        blobs.size(), pk.engine->lanes(), [&](std::size_t begin, std::size_t end) {
            return multiply_group(pk, blobs, scalars, begin, end, scalar_scale, path);
        });
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

std::vector<PowerRequest> requests_of(std::span<const ScalarPair> pairs) {
    std::vector<PowerRequest> requests;
    for (const ScalarPair& pair : pairs) requests.push_back({&pair.c, &pair.k});
    return requests;
}

Outcome<std::vector<mpz_class>> secret_powers(const PublicKeyRecord& pk,
                                              std::span<const ScalarPair> pairs) {
    Powers powers = pk.engine->secret_powers(requests_of(pairs));
    if (powers.no_inverse) return not_invertible(pairs[*powers.no_inverse].position);
    return std::move(powers.values);
}

// Variable-time powers; the caller has declared the scalars public.
Outcome<std::vector<mpz_class>> public_powers(const PublicKeyRecord& pk,
                                              std::span<const ScalarPair> pairs) {
    const std::vector<PowerRequest> requests = requests_of(pairs);
    if (auto bad = first_not_coprime(requests, pk.n)) return not_coprime(pairs[*bad].position);
    return pk.engine->public_powers(requests);
}

}  // namespace

Outcome<std::vector<Bytes>> multiply_many(const PublicKeyRecord& pk, Blobs blobs,
                                          std::span<const double> scalars,
                                          std::optional<unsigned> scalar_scale_pow10) {
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
