// Constant time in: the decrypted plaintext whose slots balanced_slots and offset_slots read.
//
// Secret here: the plaintext m that balanced_slots and offset_slots read,
// and y, made from it. Everything up to the one answer, whether m fits its
// slots, runs on the widths of n and the layout alone; the digits are the
// result the key holder reads, and what is done to them after is not.
#include "core/encoding/packed.hpp"

#include <gmp.h>

#include "core/encoding/blob.hpp"
#include "core/encoding/fixed_point.hpp"
#include "core/support/ct.hpp"

namespace hecrypt {

namespace {

unsigned read_field(ByteView blob, std::size_t at) {
    return (unsigned{blob[at]} << 8) | blob[at + 1];
}

void write_field(Bytes& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::string bits_text(std::size_t bits) { return std::to_string(bits) + " bits"; }

// The bits of limb i at or above bit `total` of a number: a mask that
// depends on the layout alone.
mp_limb_t bits_from(std::size_t i, std::size_t total) {
    const std::size_t low = i * GMP_NUMB_BITS;
    if (low >= total) return ~mp_limb_t{0};
    if (total - low >= GMP_NUMB_BITS) return 0;
    return ~((mp_limb_t{1} << (total - low)) - 1);
}

// The w bits of y from bit `at` on, as a number.
mpz_class bits_at(std::span<const mp_limb_t> y, std::size_t at, unsigned w) {
    const std::size_t first = at / GMP_NUMB_BITS, shift = at % GMP_NUMB_BITS;
    const std::size_t width = (w + GMP_NUMB_BITS - 1) / GMP_NUMB_BITS;
    WipedLimbs window(width + 1);
    const std::size_t available = std::min(width + 1, y.size() - first);
    std::copy_n(y.begin() + static_cast<std::ptrdiff_t>(first), available, window.data());
    if (shift != 0)
        mpn_rshift(window.data(), window.data(), static_cast<mp_size_t>(width + 1),
                   static_cast<unsigned>(shift));
    if (w % GMP_NUMB_BITS != 0)
        window.data()[width - 1] &= (mp_limb_t{1} << (w % GMP_NUMB_BITS)) - 1;
    mpz_class out;
    std::copy_n(window.data(), width,
                mpz_limbs_write(out.get_mpz_t(), static_cast<mp_size_t>(width)));
    ct_limbs_finish(out.get_mpz_t(), width);
    return out;
}

}  // namespace

std::string describe_shape(const Layout& layout) {
    if (layout.plain()) return "one plain value";
    return std::to_string(layout.slots) + (layout.slots == 1 ? " slot of " : " slots of ") +
           bits_text(layout.slot_bits);
}

Outcome<PackedBlob> parse_packed(ByteView blob) {
    if (blob.empty() || blob[0] != PACKED_MARKER) {
        Outcome<ParsedBlob> plain = parse_blob(blob);
        if (!plain.ok()) return plain.take_refusal();
        return PackedBlob{Layout{plain.value().scale, 1, 0}, std::move(plain.value().ciphertext)};
    }
    if (blob.size() < PACKED_HEADER_BYTES)
        return refuse("packed ciphertext is cut short: its header takes " +
                      std::to_string(PACKED_HEADER_BYTES) + " bytes, and only " +
                      std::to_string(blob.size()) + " are there");
    const Layout layout{blob[1], read_field(blob, 2), read_field(blob, 4)};
    if (layout.scale > MAX_SCALE_POW10) return refuse(scale_limit_message(layout.scale));
    if (layout.slots == 0) return refuse("packed ciphertext declares no slots");
    if (layout.slot_bits < MIN_SLOT_BITS)
        return refuse("packed ciphertext declares slots of " + bits_text(layout.slot_bits) +
                      ", fewer than the " + std::to_string(MIN_SLOT_BITS) + " a slot needs");
    return PackedBlob{layout, from_bytes_be(blob.subspan(PACKED_HEADER_BYTES))};
}

Bytes write_packed(const Layout& layout, const mpz_class& c) {
    if (layout.plain()) return write_blob(layout.scale, c);
    ensure(layout.slots >= 1 && layout.slots <= MAX_PACKED_FIELD &&
               layout.slot_bits >= MIN_SLOT_BITS && layout.slot_bits <= MAX_PACKED_FIELD,
           "a packed blob is being written with a layout no reader accepts");
    Bytes plain = write_blob(layout.scale, c);
    Bytes out{PACKED_MARKER, layout.scale};
    out.reserve(plain.size() + PACKED_HEADER_BYTES - 1);
    write_field(out, layout.slots);
    write_field(out, layout.slot_bits);
    out.insert(out.end(), plain.begin() + 1, plain.end());
    return out;
}

unsigned packed_capacity_bits(const mpz_class& n) {
    return static_cast<unsigned>(bit_length(plaintext_bound(n))) + SUM_HEADROOM_BITS;
}

Status check_slot_bits(unsigned slot_bits, unsigned capacity) {
    if (slot_bits < MIN_SLOT_BITS)
        return refuse(
            "slot_bits " + std::to_string(slot_bits) +
            " leaves no room for a value: a slot keeps " + std::to_string(SLOT_RESERVED_BITS) +
            " bits for the sign and the carries of a sum of " + std::to_string(SUM_HEADROOM_TERMS) +
            " terms, so it needs at least " + std::to_string(MIN_SLOT_BITS));
    if (slot_bits > capacity)
        return refuse("slot_bits " + std::to_string(slot_bits) +
                      " is more than the plaintext space of this key holds: at most " +
                      std::to_string(capacity));
    return Done{};
}

Status check_row_width(std::size_t slots, unsigned slot_bits, unsigned capacity) {
    if (slots * slot_bits <= capacity) return Done{};
    return refuse("rows of " + std::to_string(slots) + " values need " +
                  bits_text(slots * slot_bits) + " in slots of " + std::to_string(slot_bits) +
                  ", and the plaintext space of this key holds " + std::to_string(capacity) +
                  ": at most " + std::to_string(capacity / slot_bits) +
                  " values per row at slot_bits=" + std::to_string(slot_bits));
}

Status check_layout(const Layout& layout, unsigned capacity) {
    if (layout.plain()) return Done{};
    const std::size_t bits = std::size_t{layout.slots} * layout.slot_bits;
    if (bits <= capacity) return Done{};
    return refuse("declares " + describe_shape(layout) + ", " + bits_text(bits) +
                  ", more than the " + std::to_string(capacity) +
                  " the plaintext space of this key holds");
}

mpz_class pack_slots(std::span<const WipedInteger> values, unsigned slot_bits) {
    mpz_class m = 0;
    for (std::size_t j = values.size(); j-- > 0;) {
        ensure(bit_length(values[j]) <= slot_value_bits(slot_bits), "a value wider than its slot");
        mpz_mul_2exp(m.get_mpz_t(), m.get_mpz_t(), slot_bits);
        m += values[j];
    }
    return m;
}

mp_limb_t offset_slots(const mpz_class& m, const mpz_class& n, unsigned slots, unsigned slot_bits,
                       WipedLimbs& y) {
    const std::size_t total = std::size_t{slots} * slot_bits;
    ensure(total < bit_length(n), "a layout wider than the plaintext space");
    const std::size_t width = y.view().size();
    ensure(width == offset_width(n), "offset slots of the wrong width");
    const auto size = static_cast<mp_size_t>(width);
    WipedLimbs magnitude(width), minus(width), offsets(width);
    const mp_limb_t negative = ct_read_signed(m, magnitude.span());
    for (std::size_t j = 0; j < slots; ++j) {
        const std::size_t bit = j * slot_bits + slot_bits - 1;
        offsets.data()[bit / GMP_NUMB_BITS] |= mp_limb_t{1} << (bit % GMP_NUMB_BITS);
    }
    mpn_add_n(y.data(), offsets.data(), magnitude.data(), size);
    const mp_limb_t borrow = mpn_sub_n(minus.data(), offsets.data(), magnitude.data(), size);
    mpn_cnd_swap(negative & 1, y.data(), minus.data(), size);
    mp_limb_t spill = negative & borrow;
    for (std::size_t i = 0; i < width; ++i) spill |= y.data()[i] & bits_from(i, total);
    return ~ct_nonzero_mask(spill);
}

std::optional<std::vector<mpz_class>> balanced_slots(const mpz_class& m, const mpz_class& n,
                                                     unsigned slots, unsigned slot_bits) {
    WipedLimbs y(offset_width(n));
    // Whether the plaintext fits is what the key holder learns either way.
    if (offset_slots(m, n, slots, slot_bits, y) == 0) return std::nullopt;
    std::vector<mpz_class> digits;
    digits.reserve(slots);
    const mpz_class half = mpz_class(1) << (slot_bits - 1);
    for (std::size_t j = 0; j < slots; ++j)
        digits.push_back(bits_at(y.view(), j * slot_bits, slot_bits) - half);
    return digits;
}

}  // namespace hecrypt
