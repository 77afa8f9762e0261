// Constant time in: the exponent digits (a random exponent r) and the entries they pick.
#include "core/engine/portable/fast.hpp"

#include <algorithm>
#include <deque>
#include <string>

#include "core/runtime/interrupt.hpp"
#include "core/support/ct.hpp"
#include "core/support/outcome.hpp"

namespace hecrypt {

static_assert(CT_TABLE_ENTRIES == WINDOW_ENTRIES, "one table entry per digit value");

namespace {

LimbSpan entry(Limbs& window, std::size_t index, std::size_t width) {
    return LimbSpan(window).subspan(index * width, width);
}

// The buffers of one evaluation. They hold powers and masks that would give
// the exponent away, so all of them wipe themselves.
struct Evaluation {
    Limbs acc, out, selected;
    MontScratch scratch;
    Wiped<CtMasks> masks;

    explicit Evaluation(const MontContext& ctx)
        : acc(ctx.one), out(ctx.width), selected(ctx.width), scratch(ctx.width) {}
};

void check_digits(const FixedBaseTable& table, const Digits& digits) {
    // OR-ing all digits keeps the check free of branches on each digit, and
    // the test reads only the bits above the window, which carry nothing
    // secret: they are zero in every digit exponent_digits makes.
    unsigned all = 0;
    for (std::uint8_t d : digits) all |= d;
    if ((all >> WINDOW_BITS) != 0) {
        throw InternalFault("an exponent digit does not fit a " + std::to_string(WINDOW_BITS) +
                            "-bit window");
    }
    if (digits.size() > table.windows.size()) {
        throw InternalFault("the exponent has " + std::to_string(digits.size()) +
                            " digits and the table has " + std::to_string(table.windows.size()) +
                            " windows");
    }
}

}  // namespace

// Each window is filled in Montgomery form with one multiplication per entry
// (entry d = entry d-1 times entry 1), and entry 63 times entry 1 is the next
// window's base, so no division is needed after the context is built.
FixedBaseTable build_table(const mpz_class& base, const mpz_class& modulus,
                           std::size_t window_count) {
    FixedBaseTable table{{}, MontContext(modulus)};
    const MontContext& ctx = table.context;
    const std::size_t k = ctx.width;
    MontScratch scratch(k);
    table.windows.reserve(window_count);

    Limbs power(k);
    {
        WipedLimbs reduced = residue_limbs(base, ctx.modulus);
        if (sgn(base) < 0) {  // -x = m - x mod m; m itself is 0 once in Montgomery form
            const auto n = static_cast<mp_size_t>(k);
            mpn_sub_n(reduced.data(), ctx.modulus.data(), reduced.data(), n);
        }
        mont_mul(ctx, reduced.view(), ctx.r_squared, power, scratch);
    }
    for (std::size_t j = 0; j < window_count; ++j) {
        checkpoint();  // an 8192-bit key's table takes seconds
        Limbs& window = table.windows.emplace_back(WINDOW_ENTRIES * k);
        std::ranges::copy(ctx.one, window.begin());
        std::ranges::copy(power, entry(window, 1, k).begin());
        for (std::size_t d = 2; d < WINDOW_ENTRIES; ++d) {
            mont_mul(ctx, entry(window, d - 1, k), entry(window, 1, k), entry(window, d, k),
                     scratch);
        }
        mont_mul(ctx, entry(window, WINDOW_ENTRIES - 1, k), entry(window, 1, k), power, scratch);
    }
    return table;
}

Digits exponent_digits(ByteView exponent) {
    Digits digits;
    digits.reserve((8 * exponent.size() + WINDOW_BITS - 1) / WINDOW_BITS);
    unsigned pending = 0;  // bits read but not yet emitted, lowest first
    unsigned count = 0;
    for (auto byte = exponent.rbegin(); byte != exponent.rend(); ++byte) {
        pending |= unsigned{*byte} << count;
        for (count += 8; count >= WINDOW_BITS; count -= WINDOW_BITS) {
            digits.push_back(static_cast<std::uint8_t>(pending & (WINDOW_ENTRIES - 1)));
            pending >>= WINDOW_BITS;
        }
    }
    if (count > 0) digits.push_back(static_cast<std::uint8_t>(pending));
    return digits;
}

std::vector<mpz_class> pow_fixed_many(const FixedBaseTable& table,
                                      std::span<const Digits> exponents) {
    std::size_t positions = 0;
    for (const Digits& digits : exponents) {
        check_digits(table, digits);
        positions = std::max(positions, digits.size());  // lengths are public
    }
    const MontContext& ctx = table.context;
    std::deque<Evaluation> evs;  // not movable: each wipes its own buffers
    for (std::size_t i = 0; i < exponents.size(); ++i) evs.emplace_back(ctx);
    // Every exponent takes its entry of a window before the next window is
    // read, so each window comes from memory once for all of them.
    for (std::size_t j = 0; j < positions; ++j) {
        for (std::size_t i = 0; i < exponents.size(); ++i) {
            if (j >= exponents[i].size()) continue;
            Evaluation& ev = evs[i];
            ct_index_masks(exponents[i][j], ev.masks);
            ct_select_entry(table.windows[j].data(), ev.masks, ev.selected.data(), ctx.width);
            mont_mul(ctx, ev.acc, ev.selected, ev.out, ev.scratch);
            ev.acc.swap(ev.out);
        }
    }
    std::vector<mpz_class> out;
    for (Evaluation& ev : evs) out.push_back(from_mont(ctx, ev.acc, ev.scratch));
    return out;
}

mpz_class pow_fixed(const FixedBaseTable& table, const Digits& digits) {
    return std::move(pow_fixed_many(table, std::span(&digits, 1)).front());
}

}  // namespace hecrypt
