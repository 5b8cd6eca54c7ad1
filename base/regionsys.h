// regionsys.h - where the pooled allocator gets its memory from: large
// committed read-write regions of the operating system.
//
// system() is the process's real source (mmap and munmap); a region comes
// back page-aligned, zero-filled and committed, and its pages become
// resident only as they are touched.  Tests put a source of their own under
// a private zo_alloctor to make the system refuse or to count regions.
//
// commit never throws and never aborts: a refusal is a null result, which
// the allocator passes on as a null block.
//
// Thread-safety: system() may be used from any thread.  A derived source
// used by an allocator must be too.
#pragma once
#include <cstddef>

namespace zo {

class regionsys {
  public:
    // A region of at least n bytes, and in *got its size as the system
    // reports it (n rounded up to whole pages); null when refused.
    virtual void* commit(size_t n, size_t* got) noexcept = 0;
    // Gives back a region from commit; n is the *got it came with.
    virtual void release(void* p, size_t n) noexcept = 0;

    // The operating system's source.  Never destroyed, so that blocks freed
    // by static objects at exit still find it.
    static regionsys* system() noexcept;

  protected:
    // Not deleted through this type; the system source is never destroyed.
    ~regionsys() = default;
};

}  // namespace zo
