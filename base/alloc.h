// alloc.h - the one allocation function of the process's own code.
//
// Every dynamic allocation of Quorvane's own code (strings, message bodies,
// record arrays, JSON entry lists, conversion buffers) goes through
// zo_alloc/zo_free.  Today they are backed by the standard heap; the pooled
// allocator replaces the three functions below and nothing else.
//
// Thread-safety: all functions may be called from any thread.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>

namespace zo {

// Returns a block of at least n bytes, or nullptr when memory cannot be had.
// zo_alloc(0) returns a valid block of minimal size.
void* zo_alloc(size_t n) noexcept;
// Returns a block taken from zo_alloc.  A null pointer is ignored.
void zo_free(void* p) noexcept;
// The usable size of a block taken from zo_alloc (at least what was asked).
size_t zo_usable(const void* p) noexcept;

// Allocator policy of the byte string.
struct zo_string_alloctor {
    static void* alloc(size_t n) noexcept { return zo_alloc(n); }
    static void free(void* p) noexcept { zo_free(p); }
    static size_t usable(const void* p) noexcept { return zo_usable(p); }
};

// A standard allocator over zo_alloc, for the growable arrays.
template <class T>
struct stdalloc {
    using value_type = T;
    stdalloc() noexcept = default;
    template <class U>
    stdalloc(const stdalloc<U>&) noexcept {}
    T* allocate(size_t n) {
        void* p = zo_alloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { zo_free(p); }
    template <class U>
    bool operator==(const stdalloc<U>&) const noexcept {
        return true;
    }
};

}  // namespace zo
