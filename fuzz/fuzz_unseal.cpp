// unseal on arbitrary bytes, under the passphrase the seeds were sealed
// with: an unknown magic or version is named, every other damage meets the
// one refusal that does not tell a wrong passphrase from it, an authentic
// key with weak primes meets a key check, and an opened key is the one whose
// modulus the bytes carry. The layout is read here independently of the core.
// Inputs whose derivation would be costly are skipped: the range the core
// accepts is checked by its tests, and one derivation at the default cost
// takes longer than thousands of runs.
#include <cstdint>
#include <set>
#include <string>

#include "core/keys/sealed.hpp"
#include "fuzz_support.hpp"

using namespace hecrypt;
using namespace hecrypt::fuzz;

namespace {

const std::string PASSPHRASE = "fuzz";
const std::string MAGIC = "hecrypt-seal";
constexpr std::uint64_t CHEAP_OPSLIMIT = 2, CHEAP_MEMLIMIT = 64 * 1024;

std::uint64_t number(ByteView data, std::size_t at, std::size_t width) {
    return integer_of(data.subspan(at, width)).get_ui();
}

// The refusal the layout alone decides, or none when the key derivation must
// run; `costly` is set for a derivation this target does not pay for.
std::optional<std::string> expected_refusal(ByteView data, bool& costly) {
    const std::size_t seen = std::min(data.size(), MAGIC.size());
    if (std::string(data.begin(), data.begin() + seen) != MAGIC.substr(0, seen))
        return "not a sealed key: it does not start with the bytes hecrypt-seal";
    if (data.size() > 12 && data[12] != 1)
        return "sealed key of format version " + std::to_string(data[12]) +
               " cannot be read: this module reads version 1";
    if (data.size() < 71) return unseal_failed_message();
    const std::uint64_t length = number(data, 69, 2);
    if (length == 0 || length > 1024 || data.size() != 71 + 3 * length + 16)
        return unseal_failed_message();
    const std::uint64_t ops = number(data, 13, 8), mem = number(data, 21, 8);
    if (ops < 1 || ops > 4 || mem < 8192 || mem > (std::uint64_t{1} << 30))
        return unseal_failed_message();
    const mpz_class n = integer_of(data.subspan(71, length));
    const std::size_t bits = mpz_sizeinbase(n.get_mpz_t(), 2);
    if (data[71] == 0 || mpz_even_p(n.get_mpz_t()) || bits < 2047 || bits > 8192)
        return unseal_failed_message();
    costly = ops > CHEAP_OPSLIMIT || mem > CHEAP_MEMLIMIT;
    return std::nullopt;
}

const std::set<std::string>& key_refusals() {
    static const std::set<std::string> refusals = [] {
        std::set<std::string> all{unseal_failed_message(),
                                  "sealed key holds a composite number where a prime belongs: it "
                                  "was not sealed from a key of generate_keypair"};
        for (int e = 0; e <= static_cast<int>(KeyCheckError::AttemptBudgetExhausted); ++e)
            all.insert(message(static_cast<KeyCheckError>(e)));
        return all;
    }();
    return refusals;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView sealed(data, size);
    bool costly = false;
    const std::optional<std::string> refusal = expected_refusal(sealed, costly);
    if (costly) return 0;
    const ByteView passphrase(reinterpret_cast<const std::uint8_t*>(PASSPHRASE.data()),
                              PASSPHRASE.size());
    Outcome<KeyPair> opened = unseal(sealed, passphrase);
    if (refusal) {
        require_refusal(opened, refusal, "refusal of the layout");
        return 0;
    }
    if (!opened.ok()) {
        require(key_refusals().count(opened.refusal()) == 1, "an unexpected refusal");
        return 0;
    }
    const KeyPair& pair = opened.value();
    require(pair.public_key.modulus_bytes() == Bytes(data + 71, data + 71 + number(sealed, 69, 2)),
            "the opened key is not the modulus the bytes carry");
    require(pair.secret_key.p * pair.secret_key.q == pair.public_key.n, "primes are not n's");
    return 0;
}
