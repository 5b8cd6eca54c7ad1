// allocword.h - how the pooled allocator touches memory that AddressSanitizer
// must otherwise see as out of bounds.
//
// Under ASan, a freed block, the 8-byte slot header before every block, the
// header of a direct block and every never-used slot are poisoned, so that a
// use after free or an overflow into the next slot is reported as it
// happens.  The allocator itself still reads and writes the slot header and
// the free-list link in a freed block's first word: it does so only through
// loadword and storeword, which ASan does not check.  Without ASan the
// poison calls are empty.
//
// Thread-safety: none of its own; the caller holds whatever lock guards the
// memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#define ZO_NOASAN __attribute__((no_sanitize_address))
#else
#define ZO_NOASAN
#endif

namespace zo::allocword {

ZO_NOASAN inline uintptr_t load(const void* p) noexcept {
    return *static_cast<const volatile uintptr_t*>(p);
}
ZO_NOASAN inline void store(void* p, uintptr_t v) noexcept {
    *static_cast<volatile uintptr_t*>(p) = v;
}

inline void poison(const void* p, size_t n) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p, (void)n;
#endif
}
inline void unpoison(const void* p, size_t n) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p, (void)n;
#endif
}

// A region that may hold the only pointer to a heap object (a pooled block
// that owns a malloc'ed one): LeakSanitizer scans it like a global.
inline void watch(const void* p, size_t n) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    __lsan_register_root_region(p, n);
#else
    (void)p, (void)n;
#endif
}
inline void unwatch(const void* p, size_t n) noexcept {
#if defined(__SANITIZE_ADDRESS__)
    unpoison(p, n);
    __lsan_unregister_root_region(p, n);
#else
    (void)p, (void)n;
#endif
}

}  // namespace zo::allocword
