// One entry point per function: convert the arguments in parameter order,
// run the core operation (without the interpreter lock where it releases
// it), build the result. Everything else is the frame's.
#include "functions.hpp"

#include "core/encoding/fixed_point.hpp"
#include "core/keys/keys.hpp"
#include "core/ops/ops.hpp"
#include "frame.hpp"
#include "mirrored.hpp"

namespace hecrypt::python {

namespace {

PyObject* generate_keypair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"generate_keypair", nullptr, {"bits"}, 0};
    return call(sig, args, nargs, kwnames, [](const Arguments& a) {
        const std::uint32_t bits = a.u32_or(0, DEFAULT_KEY_BITS);
        return to_python(hecrypt::generate_keypair(bits, ReleasingUnlocker{}));
    });
}

PyObject* encrypt_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"encrypt_many", nullptr, {"pk", "values", "scale_pow10"}, 2};
    return encrypt_values<&Arguments::public_key, hecrypt::encrypt_many>(sig, args, nargs, kwnames);
}

// Both multiplications take the same arguments; only the core call differs.
template <auto Operation>
PyObject* multiply(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    return call(sig, args, nargs, kwnames, [&sig](const Arguments& a) {
        const auto& pk = a.public_key(0);
        const auto blobs = a.blobs(1);
        const auto scalars = a.doubles(2);
        const auto scalar_scale = a.optional_u8(3);
        const std::optional<unsigned> d = scalar_scale;
        return to_python(without_lock([&] { return Operation(pk, blobs.views(), scalars, d); }));
    });
}

PyObject* multiply_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{
        "multiply_many", nullptr, {"pk", "blobs", "scalars", "scalar_scale_pow10"}, 3};
    return multiply<hecrypt::multiply_many>(sig, args, nargs, kwnames);
}

PyObject* multiply_many_public(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static const Signature sig{
        "multiply_many_public", nullptr, {"pk", "blobs", "scalars", "scalar_scale_pow10"}, 3};
    return multiply<hecrypt::multiply_many_public>(sig, args, nargs, kwnames);
}

// Holds the lock throughout: one ciphertext is too little work to be worth
// letting go of it.
PyObject* decrypt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"decrypt", nullptr, {"sk", "blob"}, 2};
    return call(sig, args, nargs, kwnames, [](const Arguments& a) {
        const auto& sk = a.secret_key(0);
        const ByteView blob = a.bytes(1);
        return to_python(hecrypt::decrypt(sk, blob));
    });
}

PyObject* decrypt_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"decrypt_many", nullptr, {"sk", "blobs"}, 2};
    return key_and_blobs<&Arguments::secret_key, hecrypt::decrypt_many>(sig, args, nargs, kwnames);
}

constexpr const char* GENERATE_KEYPAIR_DOC =
    "generate_keypair(bits=3072)\n--\n\n"
    "Generate a key pair with SAFE primes and validate it.\n\n"
    "n is the product of two safe primes of ⌊bits/2⌋ bits each (p = 2p' + 1 with p' prime, "
    "p ≡ q ≡ 3 mod 4), so it has 2·⌊bits/2⌋ bits or one fewer; requests from 2048 to 8192 bits "
    "are accepted. The primes are checked again before use (safe, Blum, gcd(p-1, q-1) = 2, far "
    "enough apart) and any failed check is a ValueError, never a weaker key. Returns "
    "(PublicKey, SecretKey). The prime search dominates the cost and runs without the "
    "interpreter lock.";

constexpr const char* ENCRYPT_MANY_DOC =
    "encrypt_many(pk, values, scale_pow10=...)\n--\n\n"
    "Encrypt a list of values. Runs across all cores.\n\n"
    "Each float is encoded as round(v·10^scale_pow10) (scale_pow10 defaults to 8, at most "
    "18) and encrypted with a fresh random exponent; the scale travels as the first byte of "
    "each ciphertext blob. NaN, infinities and values beyond the key's plaintext bound are "
    "refused rather than clamped. Returns one blob per value, in input order.";

constexpr const char* ADD_MANY_DOC =
    "add_many(pk, blobs)\n--\n\n"
    "Add ciphertexts: one call sums the whole batch.\n\n"
    "The sum is the product of the ciphertexts modulo n^2, returned as one blob at the "
    "common scale. Empty sums, mixed scales, more terms than the reserved headroom and "
    "ciphertexts outside [1, n^2) are refused. The result is deterministic; re-randomise it "
    "before it leaves the process.";

constexpr const char* ADD_BLOCKS_DOC =
    "add_blocks(pk, blobs, blocks)\n--\n\n"
    "Sum MANY blocks of the same ciphertexts, in parallel over the blocks.\n\n"
    "`blocks` is a list of index lists into `blobs` (counted from 0); the result holds one "
    "sum per block, in block order, each following the rules of add_many. Every ciphertext "
    "that some block names is parsed once however many blocks name it, and one that no block "
    "names is never read.";

constexpr const char* MULTIPLY_MANY_DOC =
    "multiply_many(pk, blobs, scalars, scalar_scale_pow10=None)\n--\n\n"
    "Multiply ciphertexts by KNOWN scalars: `E(x) → E(k·x)`.\n\n"
    "Each blob is paired with one scalar, encoded at scalar_scale_pow10 (None: the blob's own "
    "scale); the product carries the sum of both scales. The scalar is treated as secret: "
    "every exponent is brought to one fixed width and raised in constant time, so the time "
    "taken does not reveal it. A zero scalar is refused. The result is deterministic.";

constexpr const char* MULTIPLY_MANY_PUBLIC_DOC =
    "multiply_many_public(pk, blobs, scalars, scalar_scale_pow10=None)\n--\n\n"
    "Multiply by scalars the caller declares PUBLIC: `E(x) → E(k·x)`.\n\n"
    "The same products as multiply_many, with an ordinary exponentiation by the scalar itself: "
    "much cheaper, but its running time follows the size of the scalar, so use it only for "
    "scalars that are no secret. Encoded scalars must stay below 2^53 in magnitude, where every "
    "integer is exact as a float.";

constexpr const char* RERANDOMIZE_DOC =
    "rerandomize(pk, blobs)\n--\n\n"
    "Re-randomise ciphertexts: same plaintext, different bytes.\n\n"
    "Each ciphertext is multiplied by a fresh encryption of zero, so it becomes distributed "
    "like a new one while its plaintext and scale stay as they were. The other operations are "
    "deterministic; apply this to every result that leaves the process. Costs about one "
    "encryption per blob.";

constexpr const char* DECRYPT_DOC =
    "decrypt(sk, blob)\n--\n\n"
    "Decrypt one ciphertext. The scale is taken from the blob.\n\n"
    "The plaintext is recovered modulo p^2 and q^2 and recombined, read as a signed integer "
    "and divided by 10^scale. Returns a float; a result a float cannot hold is refused. Runs "
    "on the calling thread with the interpreter lock held.";

constexpr const char* DECRYPT_MANY_DOC =
    "decrypt_many(sk, blobs)\n--\n\n"
    "Decrypt a batch, exactly, across all cores.\n\n"
    "Returns each plaintext integer as decimal text, in input order, because a float cannot "
    "hold every integer above 2^53 and a rounded sum would still look plausible. For the same "
    "reason only blobs of scale 0 are accepted: applying a scale would bring the rounding "
    "back.";

PyMethodDef functions[] = {
    function<generate_keypair>("generate_keypair", GENERATE_KEYPAIR_DOC),
    function<encrypt_many>("encrypt_many", ENCRYPT_MANY_DOC),
    function<add_many_entry<hecrypt::add_many>>("add_many", ADD_MANY_DOC),
    function<add_blocks_entry<hecrypt::add_blocks>>("add_blocks", ADD_BLOCKS_DOC),
    function<multiply_many>("multiply_many", MULTIPLY_MANY_DOC),
    function<multiply_many_public>("multiply_many_public", MULTIPLY_MANY_PUBLIC_DOC),
    function<rerandomize_entry<hecrypt::rerandomize>>("rerandomize", RERANDOMIZE_DOC),
    function<decrypt>("decrypt", DECRYPT_DOC),
    function<decrypt_many>("decrypt_many", DECRYPT_MANY_DOC),
};

}  // namespace

std::span<PyMethodDef> module_functions() { return functions; }

PyObject* from_n(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"from_n", "PublicKey", {"raw"}, 1};
    return call(sig, args, nargs, kwnames, [](const Arguments& a) {
        const ByteView raw = a.bytes(0);
        return to_python(public_key_from_n(raw, ReleasingUnlocker{}));
    });
}

}  // namespace hecrypt::python
