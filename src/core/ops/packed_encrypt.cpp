#include "core/encoding/fixed_point.hpp"
#include "core/encoding/packed.hpp"
#include "core/ops/encryption.hpp"
#include "core/ops/packed.hpp"

namespace hecrypt::packed {

namespace {

std::string cell_label(std::size_t row, std::size_t column) {
    return "row " + std::to_string(row + 1) + ", column " + std::to_string(column + 1);
}

// The value encoded, or why it has no place in a slot of `slot_bits`.
Outcome<WipedInteger> slot_value(double v, std::size_t row, std::size_t column, unsigned scale,
                                 unsigned slot_bits) {
    Outcome<mpz_class> encoded = encode_value(v, scale_factor(scale));
    if (!encoded.ok()) return refuse(cell_label(row, column) + ": " + encoded.refusal());
    WipedInteger m(std::move(encoded.value()));
    const std::size_t needed = bit_length(m);
    if (needed <= slot_value_bits(slot_bits)) return m;
    return refuse(cell_label(row, column) + ": value " + format_exponential(v) + " needs " +
                  std::to_string(needed) + " bits at scale 1e" + std::to_string(scale) +
                  ", and a slot of " + std::to_string(slot_bits) + " bits holds " +
                  std::to_string(slot_value_bits(slot_bits)) +
                  " once the sign and room for a sum of " + std::to_string(SUM_HEADROOM_TERMS) +
                  " terms are kept: slot_bits=" + std::to_string(needed + SLOT_RESERVED_BITS) +
                  " or more holds it");
}

// The packed plaintext of one row.
Outcome<mpz_class> row_plaintext(std::span<const double> row, std::size_t r, unsigned scale,
                                 unsigned slot_bits, const mpz_class& bound) {
    std::vector<WipedInteger> cells;
    cells.reserve(row.size());
    for (std::size_t c = 0; c < row.size(); ++c) {
        Outcome<WipedInteger> m = slot_value(row[c], r, c, scale, slot_bits);
        if (!m.ok()) return m.take_refusal();
        cells.emplace_back(std::move(m.value()));
    }
    mpz_class packed = pack_slots(cells, slot_bits);
    ensure(abs(packed) <= bound, "a packed row outside the plaintext bound");
    return packed;
}

}  // namespace

Outcome<std::vector<Bytes>> encrypt(const EncryptionKey& key, const Rows& rows,
                                    unsigned scale_pow10, unsigned slot_bits) {
    if (scale_pow10 > MAX_SCALE_POW10) return refuse(scale_limit_message(scale_pow10));
    const unsigned capacity = packed_capacity_bits(key.n());
    if (Status ok = check_slot_bits(slot_bits, capacity); !ok.ok()) return ok.take_refusal();
    if (rows.count == 0) return std::vector<Bytes>{};
    if (rows.width == 0)
        return refuse("rows hold no values: a packed ciphertext needs at least one slot");
    if (Status ok = check_row_width(rows.width, slot_bits, capacity); !ok.ok())
        return ok.take_refusal();
    const mpz_class bound = plaintext_bound(key.n());
    const Layout layout{static_cast<std::uint8_t>(scale_pow10), static_cast<unsigned>(rows.width),
                        slot_bits};
    return key.encrypt(
        rows.count,
        [&](std::size_t r) {
            return row_plaintext(rows.values.subspan(r * rows.width, rows.width), r, scale_pow10,
                                 slot_bits, bound);
        },
        [&](const mpz_class& c) { return write_packed(layout, c); });
}

}  // namespace hecrypt::packed
