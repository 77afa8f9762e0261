// The global allocation functions, replaced: running out of memory ends the
// process with the size that could not be had, instead of a std::bad_alloc
// that some catch could turn into a plausible result (or that reports no
// size at all).
//
// The extension module exports nothing but its init function, so these bind
// inside the module only; the rest of the interpreter keeps the C++ runtime's
// own. The nothrow forms keep their contract and return null: their callers
// (std::get_temporary_buffer, behind std::stable_sort, for one) retry with
// less.
//
// Under AddressSanitizer none of this is compiled: its runtime brings its own
// operator new, reports exhaustion itself, and checks that every block is
// released by the family that allocated it, which a malloc-based replacement
// next to the runtime's intercepted one would trip.
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define HECRYPT_OWN_ALLOCATION 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HECRYPT_OWN_ALLOCATION 0
#endif
#endif
#ifndef HECRYPT_OWN_ALLOCATION
#define HECRYPT_OWN_ALLOCATION 1
#endif

#if HECRYPT_OWN_ALLOCATION

namespace {

// Formats without allocating: there is no memory to format with.
[[noreturn]] void allocation_failed(std::size_t size) noexcept {
    char digits[24];
    char* first = digits + sizeof digits;
    do *--first = static_cast<char>('0' + size % 10);
    while ((size /= 10) != 0);
    const auto say = [](const char* text, std::size_t length) {
        while (length > 0) {
            const ssize_t written = ::write(STDERR_FILENO, text, length);
            if (written <= 0) return;
            text += written;
            length -= static_cast<std::size_t>(written);
        }
    };
    constexpr char head[] = "memory allocation of ";
    constexpr char tail[] = " bytes failed\n";
    say(head, sizeof head - 1);
    say(first, static_cast<std::size_t>(digits + sizeof digits - first));
    say(tail, sizeof tail - 1);
    std::abort();
}

// malloc(0) may answer null; operator new must answer a unique pointer.
void* try_allocate(std::size_t size) noexcept { return std::malloc(size != 0 ? size : 1); }

void* try_allocate(std::size_t size, std::align_val_t alignment) noexcept {
    std::size_t align = static_cast<std::size_t>(alignment);
    if (align < sizeof(void*)) align = sizeof(void*);  // posix_memalign's least alignment
    void* block = nullptr;
    return posix_memalign(&block, align, size != 0 ? size : 1) == 0 ? block : nullptr;
}

// A new-handler, when someone installed one, gets its chance to free memory
// first, as the standard asks.
template <class... Alignment>
void* allocate(std::size_t size, Alignment... alignment) {
    for (;;) {
        if (void* block = try_allocate(size, alignment...)) return block;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) allocation_failed(size);
        handler();  // may throw std::bad_alloc itself; that is its choice
    }
}

template <class... Alignment>
void* allocate_or_null(std::size_t size, Alignment... alignment) noexcept {
    for (;;) {
        if (void* block = try_allocate(size, alignment...)) return block;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) return nullptr;
        try {
            handler();
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocate(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocate(size, alignment);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate_or_null(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate_or_null(size);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate_or_null(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate_or_null(size, alignment);
}

// Every form releases with free: malloc and posix_memalign blocks alike.
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(block);
}

#endif
