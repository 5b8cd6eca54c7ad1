#include "base/alloc.h"

#include <malloc.h>

#include <cstdlib>

namespace zo {

void* zo_alloc(size_t n) noexcept { return std::malloc(n ? n : 1); }

void zo_free(void* p) noexcept { std::free(p); }

size_t zo_usable(const void* p) noexcept {
    return p ? malloc_usable_size(const_cast<void*>(p)) : 0;
}

}  // namespace zo
