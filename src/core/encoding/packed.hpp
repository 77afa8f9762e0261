// Packed ciphertexts: k signed values in k slots of w bits of one plaintext,
// M = sum of d_j 2^(w j), and the blob that carries them.
//
// A packed blob starts with PACKED_MARKER, a byte no scale takes (the plain
// readers refuse it as a scale above the limit), then the scale, the slot
// count and the slot width (two bytes each, big-endian), then the ciphertext
// integer as in a plain blob. A plain blob is the layout of one slot.
//
// Bounds: a slot of w bits takes values of at most w - 21 bits, so a sum of
// SUM_HEADROOM_TERMS of them stays within [-2^(w-1), 2^(w-1)), where its
// balanced digit is unique; and k w may not pass the key's capacity,
// bitlen(floor(n / 2^21)) + 20, which keeps |M| < 2^(k w - 21) within the
// plaintext bound, so the plain headroom covers the whole integer.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/support/bigint.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

constexpr std::uint8_t PACKED_MARKER = 0xB5;
constexpr std::size_t PACKED_HEADER_BYTES = 6;
// log2(SUM_HEADROOM_TERMS): the bits a slot keeps free for the carries of a sum.
constexpr unsigned SUM_HEADROOM_BITS = 20;
// A slot keeps the headroom and a sign bit free, and holds at least one bit.
constexpr unsigned SLOT_RESERVED_BITS = SUM_HEADROOM_BITS + 1;
constexpr unsigned MIN_SLOT_BITS = SLOT_RESERVED_BITS + 1;
constexpr unsigned MAX_PACKED_FIELD = 0xFFFF;

struct Layout {
    std::uint8_t scale = 0;
    unsigned slots = 1;
    unsigned slot_bits = 0;  // 0 for a plain blob

    bool plain() const { return slot_bits == 0; }
    bool operator==(const Layout&) const = default;
};

// "one plain value" or "3 slots of 64 bits".
std::string describe_shape(const Layout& layout);

struct PackedBlob {
    Layout layout;
    mpz_class ciphertext;
};

// A plain or a packed blob. The refusals of a plain one are parse_blob's.
Outcome<PackedBlob> parse_packed(ByteView blob);

// The blob of `layout` (plain or packed) holding c, minimal.
Bytes write_packed(const Layout& layout, const mpz_class& c);

// The most bits the slots of one ciphertext under n may take together.
unsigned packed_capacity_bits(const mpz_class& n);

// The most bits a value in a slot of `slot_bits` may have.
inline unsigned slot_value_bits(unsigned slot_bits) { return slot_bits - SLOT_RESERVED_BITS; }

// Refuses a slot width outside [MIN_SLOT_BITS, capacity].
Status check_slot_bits(unsigned slot_bits, unsigned capacity);

// Refuses `slots` slots of `slot_bits` that do not fit the capacity.
Status check_row_width(std::size_t slots, unsigned slot_bits, unsigned capacity);

// The layout a blob declares, checked against a key's capacity; nothing
// to check for a plain one.
Status check_layout(const Layout& layout, unsigned capacity);

// sum of values[j] 2^(slot_bits j), each |values[j]| of at most
// slot_value_bits(slot_bits) bits.
mpz_class pack_slots(std::span<const WipedInteger> values, unsigned slot_bits);

// Limbs of the y offset_slots writes: those of n and one more.
inline std::size_t offset_width(const mpz_class& n) { return mpz_size(n.get_mpz_t()) + 1; }

// y = m + h for h = sum of 2^(w-1) 2^(w j): the digits of y in base 2^w are
// d_j + 2^(w-1), each in [0, 2^w), exactly when 0 <= y < 2^(k w). Returns
// all ones when that holds, zero when not, in constant time in m.
mp_limb_t offset_slots(const mpz_class& m, const mpz_class& n, unsigned slots, unsigned slot_bits,
                       WipedLimbs& y);

// The slots of a signed plaintext m with |m| < n/2, as balanced digits: the
// unique d_j in [-2^(w-1), 2^(w-1)) with m = sum of d_j 2^(w j), or nothing
// when m needs more than `slots` of them (a carry out of the top slot). m is
// secret: its limbs are read at the width of n and every step runs on the
// widths alone; only the answer (nothing, or the digits) is revealed.
std::optional<std::vector<mpz_class>> balanced_slots(const mpz_class& m, const mpz_class& n,
                                                     unsigned slots, unsigned slot_bits);

}  // namespace hecrypt
