#include "core/keys/sieve.hpp"

#include <limits>

namespace hecrypt {

namespace {

constexpr std::uint64_t GROUP_PRODUCT_BOUND = std::uint64_t{1} << 63;

// s^-1 mod 2^64 for odd s: s is its own inverse modulo 8, and each Newton
// step doubles the correct bits, 3 to 96 in five.
std::uint64_t inverse_mod_2_64(std::uint64_t s) {
    std::uint64_t x = s;
    for (int step = 0; step < 5; ++step) x *= 2 - s * x;
    return x;
}

}  // namespace

std::vector<std::uint32_t> small_primes(std::uint32_t bound) {
    std::vector<std::uint8_t> composite(bound + 1, 0);
    std::vector<std::uint32_t> primes;
    for (std::uint64_t i = 3; i < bound; i += 2) {
        if (composite[i]) continue;
        primes.push_back(static_cast<std::uint32_t>(i));
        for (std::uint64_t j = i * i; j <= bound; j += 2 * i) composite[j] = 1;
    }
    return primes;
}

PairSieve::PairSieve(std::uint32_t bound) {
    mp_limb_t product = 1;
    for (std::uint32_t s : small_primes(bound)) {
        if (product >= GROUP_PRODUCT_BOUND / s) {
            groups_.push_back({product, divisors_.size()});
            product = 1;
        }
        product *= s;
        divisors_.push_back({inverse_mod_2_64(s), std::numeric_limits<std::uint64_t>::max() / s});
    }
    if (product > 1) groups_.push_back({product, divisors_.size()});
}

bool PairSieve::passes(const mpz_class& x) const {
    const auto limbs = limbs_of(x);
    std::size_t begin = 0;
    for (const Group& group : groups_) {
        // x and 2x + 1 leave the remainders r and 2r + 1 by every prime of
        // the group, since the group's product is a multiple of each.
        const mp_limb_t r =
            mpn_mod_1(limbs.data(), static_cast<mp_size_t>(limbs.size()), group.product);
        for (std::size_t i = begin; i < group.end; ++i)
            if (divisors_[i].divides(r) || divisors_[i].divides(2 * r + 1)) return false;
        begin = group.end;
    }
    return true;
}

}  // namespace hecrypt
