#include "fault_injection.hpp"

#ifdef HECRYPT_FAULT_INJECTION

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/support/outcome.hpp"

namespace hecrypt {

FaultInjection::FaultInjection() {
    const char* text = std::getenv("HECRYPT_INJECT_FAULT");
    if (text == nullptr) return;
    const char* end = text + std::strlen(text);
    std::size_t item = 0;
    const auto [stop, error] = std::from_chars(text, end, item);
    if (stop != text && stop == end && error == std::errc{}) item_ = item;
}

void FaultInjection::before_item(std::size_t item) const {
    if (item_ == item) throw InternalFault("injected fault at item " + std::to_string(item));
}

}  // namespace hecrypt

#endif
