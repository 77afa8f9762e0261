// The key holder's functions: sealing a secret key so that it outlives its
// process, and reopening it. Both run without the interpreter lock: the key
// derivation alone takes a good part of a second.
#include "keyholder.hpp"

#include "core/encoding/fixed_point.hpp"
#include "core/keys/sealed.hpp"
#include "core/ops/ops.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace hecrypt::python {

namespace {

PyObject* seal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"seal", nullptr, {"sk", "passphrase"}, 2};
    return call(sig, args, nargs, kwnames, [](const Arguments& a) {
        const auto& sk = a.secret_key(0);
        const ByteView passphrase = a.text_or_bytes(1);
        return to_python(without_lock([&] { return hecrypt::seal(sk, passphrase); }));
    });
}

PyObject* unseal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"unseal", nullptr, {"sealed", "passphrase"}, 2};
    return call(sig, args, nargs, kwnames, [](const Arguments& a) {
        const ByteView sealed = a.bytes(0);
        const ByteView passphrase = a.text_or_bytes(1);
        return to_python(without_lock([&] { return hecrypt::unseal(sealed, passphrase); }));
    });
}

PyObject* encrypt_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"encrypt_many", nullptr, {"sk", "values", "scale_pow10"}, 2};
    return encrypt_values<&Arguments::secret_key, hecrypt::keyholder_encrypt_many>(sig, args, nargs,
                                                                                   kwnames);
}

// Reads a few bytes: not worth letting go of the lock.
PyObject* public_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"public_bytes", nullptr, {"sealed"}, 1};
    return call(sig, args, nargs, kwnames,
                [](const Arguments& a) { return to_python(sealed_modulus(a.bytes(0))); });
}

constexpr const char* MODULE_DOC =
    "What only the holder of a secret key does.\n\n"
    "seal() turns a SecretKey into bytes that can be stored and survive the process, encrypted "
    "under a passphrase; unseal() gives the key pair back, checked as generate_keypair checks "
    "its own; public_bytes() reads the modulus of a sealed key without the passphrase; "
    "encrypt_many() encrypts with the primes, close to twice as fast as with the public key.";

constexpr const char* SEAL_DOC =
    "seal(sk, passphrase)\n--\n\n"
    "Seal a secret key under a passphrase, for storage.\n\n"
    "The passphrase (str, as UTF-8, or bytes; not empty) goes through Argon2id with a fresh "
    "salt (libsodium's moderate limits: 256 MiB and about half a second), and the key's primes "
    "are encrypted with XChaCha20-Poly1305 under the result. The modulus stays in the clear, "
    "and every byte is authenticated. The sealed key is as strong as the passphrase: use a long "
    "random one. Returns bytes.";

constexpr const char* UNSEAL_DOC =
    "unseal(sealed, passphrase)\n--\n\n"
    "Reopen a sealed key: returns (PublicKey, SecretKey).\n\n"
    "The primes are checked again as generate_keypair checks its own (safe, Blum, far enough "
    "apart) and proven prime, so a forged file cannot yield a weak key. A wrong passphrase and "
    "any altered or missing byte give the same ValueError, on purpose; an unknown magic or "
    "format version has its own. The public key's randomiser base is drawn afresh, as from_n "
    "does: ciphertexts of the old and the new public key decrypt alike.";

constexpr const char* PUBLIC_BYTES_DOC =
    "public_bytes(sealed)\n--\n\n"
    "The modulus of a sealed key, as modulus_bytes() gives it, without the passphrase.\n\n"
    "Only the structure is checked: without the passphrase nothing can tell whether the modulus "
    "was altered. unseal() would refuse a sealed key whose modulus was.";

constexpr const char* ENCRYPT_MANY_DOC =
    "encrypt_many(sk, values, scale_pow10=...)\n--\n\n"
    "Encrypt a list of values with the secret key. Runs across all cores.\n\n"
    "The same ciphertexts as hecrypt.encrypt_many with the key pair's public key: the same "
    "encoding, refusals and headroom, and the scale as the first byte. Knowing p and q, each "
    "random mask is computed modulo p^2 and q^2 and recombined, close to twice as fast. The "
    "tables this takes (hs modulo p^2 and q^2, secret like the key) are built by the first "
    "call with the key and freed, wiped, with it. Returns one blob per value, in input order.";

PyMethodDef functions[] = {
    function<seal>("seal", SEAL_DOC),
    function<unseal>("unseal", UNSEAL_DOC),
    function<public_bytes>("public_bytes", PUBLIC_BYTES_DOC),
    function<encrypt_many>("encrypt_many", ENCRYPT_MANY_DOC),
};

}  // namespace

Submodule keyholder_submodule() { return {"keyholder", MODULE_DOC, functions}; }

}  // namespace hecrypt::python
