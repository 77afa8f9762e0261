// Converting bound arguments into the core's values.
//
// Every conversion runs with the interpreter lock held and copies or pins
// what the operation will read, so that nothing Python-side needs to be
// touched once the lock is released. A failed conversion raises; when the
// error is exactly a TypeError it is re-raised naming the argument.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "binding.hpp"
#include "buffer_items.hpp"
#include "core/keys/keys.hpp"
#include "core/ops/encryption.hpp"
#include "core/support/bigint.hpp"
#include "errors.hpp"

namespace hecrypt::python {

// A list of byte strings, read in place. Each bytes object is referenced
// until the list is destroyed, so a caller that mutates its own list
// meanwhile changes nothing; the buffers are immutable.
class BlobList {
  public:
    explicit BlobList(std::vector<Ref> blobs);
    std::span<const ByteView> views() const { return views_; }

  private:
    std::vector<Ref> blobs_;
    std::vector<ByteView> views_;
};

using IndexLists = std::vector<std::vector<std::uint64_t>>;

class Arguments {
  public:
    Arguments(const Signature& sig, Slots slots) : sig_(sig), slots_(std::move(slots)) {}

    // Keys are borrowed: the caller's reference keeps the object alive for
    // the whole call.
    const PublicKeyRecord& public_key(std::size_t i) const;
    const SecretKeyRecord& secret_key(std::size_t i) const;
    ByteView bytes(std::size_t i) const;
    // A str as its UTF-8 (cached in the str, which the call keeps alive), or
    // a bytes object, read in place either way: no copy of ours to wipe.
    ByteView text_or_bytes(std::size_t i) const;
    BlobList blobs(std::size_t i) const;
    Doubles doubles(std::size_t i) const;
    // Equal-length rows of numbers, or a two-dimensional float64 buffer.
    FloatRows rows(std::size_t i) const;
    // The key an encryption works with: a PublicKey, or a SecretKey, whose
    // primes encrypt.
    EncryptionKey encryption_key(std::size_t i) const;
    IndexLists index_lists(std::size_t i) const;
    std::uint32_t u32_or(std::size_t i, std::uint32_t fallback) const;
    std::uint8_t u8_or(std::size_t i, std::uint8_t fallback) const;
    // Absent when not given or None.
    std::optional<std::uint8_t> optional_u8(std::size_t i) const;

  private:
    template <class Convert>
    decltype(auto) convert(std::size_t i, Convert&& conversion) const;

    const Signature& sig_;
    Slots slots_;
};

}  // namespace hecrypt::python
