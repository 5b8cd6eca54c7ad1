// alloc.h - the one allocation function of the process's own code.
//
// Every dynamic allocation of Quorvane's own code (strings, message bodies,
// record arrays, JSON entry lists, conversion buffers) goes through
// zo_alloc/zo_free.  They are served by the process's zo_alloctor
// (alloctor.h): built on first use, which is before main (a static
// initialiser of the highest priority touches it), and never destroyed, so
// that static objects destroyed at exit can still free what they hold; at
// exit, after every other static object is gone, it gives back the segments
// that no block uses any more.
//
// Build switch: with the CMake option ZO_POOL=OFF (ZO_HEAP defined) the
// functions use the standard heap instead, with the same results but
// the usable size, which is then what malloc reports.  The benchmarks
// compare the two.
//
// Blocks are 8-byte aligned (16 for direct blocks and in the heap build).
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
// Gives the memory that the allocator holds but no longer uses back to the
// system, and so does the standard heap (where the client library and SQLite
// allocate, and which keeps freed memory in its per-thread arenas), so that
// the resident size falls again after a burst.  Costs a walk over the free
// segments and lists: call it now and then, not per allocation.
void zo_trim() noexcept;

// Allocator policy of the byte string.
struct zo_string_alloctor {
    static void* alloc(size_t n) noexcept { return zo_alloc(n); }
    static void free(void* p) noexcept { zo_free(p); }
    static size_t usable(const void* p) noexcept { return zo_usable(p); }
};

// A standard allocator over zo_alloc, for the growable arrays.
template <class T>
struct stdalloc {
    static_assert(alignof(T) <= 8, "pooled blocks are 8-byte aligned");
    using value_type = T;
    stdalloc() noexcept = default;
    template <class U>
    stdalloc(const stdalloc<U>&) noexcept {}
    T* allocate(size_t n) {
        void* p = n <= SIZE_MAX / sizeof(T) ? zo_alloc(n * sizeof(T)) : nullptr;
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
