#include "core/keys/candidates.hpp"

#include <algorithm>

#include "core/keys/sieve.hpp"
#include "core/runtime/rng.hpp"

namespace hecrypt {

namespace {

using Wide = unsigned __int128;

// M stays this many bits below the candidates, so that most multipliers give
// an x of the right length.
constexpr std::uint32_t RANGE_MARGIN_BITS = 10;

// The primes from which M is chosen: their product with 2 passes 2^64 at 53.
constexpr std::uint32_t CHOSEN_BELOW = 64;

std::uint64_t random_word() {
    std::uint64_t word = 0;
    fill_random(std::span(reinterpret_cast<std::uint8_t*>(&word), sizeof word));
    return word;
}

WipedInteger random_bits(std::size_t bits) {
    WipedBytes raw((bits + 7) / 8);
    fill_random(raw);
    WipedInteger x = from_bytes_be(raw);
    mpz_fdiv_r_2exp(x.get_mpz_t(), x.get_mpz_t(), bits);
    return x;
}

}  // namespace

CandidateSource::CandidateSource(std::uint32_t bits) : bits_(bits) {
    const std::uint32_t room = bits - 2 > RANGE_MARGIN_BITS ? bits - 2 - RANGE_MARGIN_BITS : 0;
    const Wide largest = Wide{1} << std::min(room, 64u);
    for (std::uint32_t s : small_primes(CHOSEN_BELOW)) {
        if (Wide{modulus_} * s >= largest) break;
        modulus_ *= s;
        residues_.push_back({s, 0, (0 - std::uint64_t{s - 2}) % (s - 2)});
    }
    // An upper bound on a / M: 1/2 for the residue of 2, below s - 1 for s.
    std::uint64_t a_over_m = 1;
    for (Residue& r : residues_) {
        const mpz_class others = modulus_ / r.prime, s = r.prime;
        mpz_class inverse;
        mpz_invert(inverse.get_mpz_t(), others.get_mpz_t(), s.get_mpz_t());
        r.basis = others.get_ui() * inverse.get_ui();
        a_over_m += r.prime - 1;
    }
    // t runs over every multiplier that can put an x in [2^(bits-2), 2^(bits-1)).
    const mpz_class low = mpz_class(1) << (bits - 2), m = modulus_;
    const mpz_class first = low / m - a_over_m;
    first_multiplier_ = first > 0 ? first : mpz_class(0);
    const mpz_class count = (2 * low + m - 1) / m - first_multiplier_;
    multiplier_bits_ = bit_length(count - 1);
}

std::vector<std::uint32_t> CandidateSource::primes() const {
    std::vector<std::uint32_t> out;
    for (const Residue& r : residues_) out.push_back(static_cast<std::uint32_t>(r.prime));
    return out;
}

// Uniform over [0, s - 2) by the high word of a random word times s - 2,
// the few words that would favour some values rejected; then moved past 0
// and (s - 1) / 2 by comparisons.
std::uint64_t CandidateSource::drawn_residue(const Residue& r) const {
    for (;;) {
        const Wide product = Wide{random_word()} * (r.prime - 2);
        if (static_cast<std::uint64_t>(product) < r.reject_below) continue;
        const std::uint64_t u = static_cast<std::uint64_t>(product >> 64) + 1;
        return u + static_cast<std::uint64_t>(u >= (r.prime - 1) / 2);
    }
}

// a < 2^70 in 128 bits: M / 2 for x odd, plus each residue times its basis.
WipedInteger CandidateSource::residue_sum() const {
    Wide a = modulus_ / 2;
    for (const Residue& r : residues_) a += Wide{drawn_residue(r)} * r.basis;
    WipedInteger out = static_cast<std::uint64_t>(a >> 64);
    out <<= 64;
    out += static_cast<std::uint64_t>(a);
    return out;
}

WipedInteger CandidateSource::draw() const {
    for (;;) {
        WipedInteger x = random_bits(multiplier_bits_);
        x += first_multiplier_;
        mpz_mul_ui(x.get_mpz_t(), x.get_mpz_t(), modulus_);
        const WipedInteger a = residue_sum();
        x += a;
        if (bit_length(x) == bits_ - 1) return x;
    }
}

}  // namespace hecrypt
