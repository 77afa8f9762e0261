// The entry points of hecrypt.packed: the same frame as the top level's,
// over the core's packed operations.
#include "packed.hpp"

#include "core/encoding/fixed_point.hpp"
#include "core/ops/packed.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "mirrored.hpp"
#include "submodule.hpp"

namespace hecrypt::python {

namespace {

PyObject* encrypt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"encrypt", nullptr, {"key", "rows", "scale_pow10", "slot_bits"}, 2};
    return call(sig, args, nargs, kwnames, [](const Arguments& a) {
        const EncryptionKey key = a.encryption_key(0);
        const FloatRows rows = a.rows(1);
        const std::uint8_t scale = a.u8_or(2, DEFAULT_SCALE_POW10);
        const std::uint32_t slot_bits = a.u32_or(3, packed::DEFAULT_SLOT_BITS);
        const packed::Rows view{rows.values, rows.count, rows.width};
        return to_python(
            without_lock([&] { return packed::encrypt(key, view, scale, slot_bits); }));
    });
}

PyObject* subtract(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"subtract", nullptr, {"pk", "minuends", "subtrahends"}, 3};
    return key_and_blobs<&Arguments::public_key, packed::subtract, &Arguments::blobs>(
        sig, args, nargs, kwnames);
}

PyObject* combine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"combine", nullptr, {"pk", "blobs"}, 2};
    return key_and_blobs<&Arguments::public_key, packed::combine>(sig, args, nargs, kwnames);
}

PyObject* decrypt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"decrypt", nullptr, {"sk", "blobs"}, 2};
    return key_and_blobs<&Arguments::secret_key, packed::decrypt>(sig, args, nargs, kwnames);
}

constexpr const char* ENCRYPT_DOC =
    "encrypt(key, rows, scale_pow10=8, slot_bits=64)\n--\n\n"
    "Encrypt rows of values, one ciphertext per row, one slot per value.\n\n"
    "Each value is encoded as encrypt_many encodes it, at scale_pow10, and must fit a slot of "
    "slot_bits bits with 21 of them kept for the sign and the carries of a sum of 1048576 "
    "terms; the row's slots together must fit the key's plaintext space. `rows` is a sequence "
    "of equal-length sequences of numbers or a two-dimensional float64 array. `key` is the "
    "PublicKey, or the SecretKey of the key holder, which encrypts with its primes as "
    "keyholder.encrypt_many does: the same blobs, close to twice as fast. Runs across all cores.";

constexpr const char* ADD_MANY_DOC =
    "add_many(pk, blobs)\n--\n\n"
    "Add packed ciphertexts slot by slot: one call sums the whole batch.\n\n"
    "All blobs share one layout (scale, slot count, slot width); a plain blob is the layout "
    "of one slot. Otherwise the rules of hecrypt.add_many.";

constexpr const char* ADD_BLOCKS_DOC =
    "add_blocks(pk, blobs, blocks)\n--\n\n"
    "Sum MANY blocks of the same packed ciphertexts, in parallel over the blocks.\n\n"
    "hecrypt.add_blocks for packed blobs: each block's blobs share one layout.";

constexpr const char* RERANDOMIZE_DOC =
    "rerandomize(pk, blobs)\n--\n\n"
    "Re-randomise packed ciphertexts: same slots, different bytes.\n\n"
    "hecrypt.rerandomize for packed blobs; each keeps its layout.";

constexpr const char* SUBTRACT_DOC =
    "subtract(pk, minuends, subtrahends)\n--\n\n"
    "Subtract ciphertexts pair by pair, slot by slot: `E(a), E(b) → E(a - b)`.\n\n"
    "Both lists are equally long and each pair shares one layout. A subtrahend without an "
    "inverse modulo n^2 is refused at its position; the inverses of a batch share one "
    "inversion. The result is deterministic.";

constexpr const char* COMBINE_DOC =
    "combine(pk, blobs)\n--\n\n"
    "Shift and add consecutive packed ciphertexts into as few as the key holds.\n\n"
    "All blobs share one packed layout; the result's slots are the inputs' slots in input "
    "order, as many inputs to a ciphertext as the plaintext space holds (the last may hold "
    "fewer). The result is deterministic.";

constexpr const char* DECRYPT_DOC =
    "decrypt(sk, blobs)\n--\n\n"
    "Decrypt packed and plain ciphertexts into one flat list of floats, across all cores.\n\n"
    "Every slot of every blob, in order; a plain blob is one slot and gives what "
    "hecrypt.decrypt gives. A plaintext that does not decode into its slots is refused.";

PyMethodDef functions[] = {
    function<encrypt>("encrypt", ENCRYPT_DOC),
    function<add_many_entry<packed::add_many>>("add_many", ADD_MANY_DOC),
    function<add_blocks_entry<packed::add_blocks>>("add_blocks", ADD_BLOCKS_DOC),
    function<rerandomize_entry<packed::rerandomize>>("rerandomize", RERANDOMIZE_DOC),
    function<subtract>("subtract", SUBTRACT_DOC),
    function<combine>("combine", COMBINE_DOC),
    function<decrypt>("decrypt", DECRYPT_DOC),
};

constexpr const char* MODULE_DOC =
    "Packed ciphertexts: several values in the slots of one plaintext.";

}  // namespace

Submodule packed_submodule() { return {"packed", MODULE_DOC, functions}; }

}  // namespace hecrypt::python
