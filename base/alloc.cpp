#include "base/alloc.h"

#if defined(ZO_HEAP)

#include <malloc.h>

#include <cstdlib>

namespace zo {

void* zo_alloc(size_t n) noexcept {
    return std::malloc(n ? n : 1);
}

void zo_free(void* p) noexcept {
    std::free(p);
}

size_t zo_usable(const void* p) noexcept {
    return p ? malloc_usable_size(const_cast<void*>(p)) : 0;
}

void zo_trim() noexcept { malloc_trim(0); }

}  // namespace zo

#else

#include <malloc.h>
#include <pthread.h>

#include <new>

#include "base/alloctor.h"

namespace zo {

namespace {

// The process's table, in static storage that no exit handler tears down.
zo_alloctor* build() noexcept {
    alignas(zo_alloctor) static unsigned char mem[sizeof(zo_alloctor)];
    static zo_alloctor* t = new (mem) zo_alloctor(regionsys::system());
    return t;
}
// Set before main, while the process has one thread; read without a lock
// from then on.
constinit zo_alloctor* built = nullptr;

inline zo_alloctor* table() noexcept {
    zo_alloctor* t = built;
    return t ? t : (built = build());
}

// Built before any other static object of the program (so also before one
// that allocates in its constructor); its destructor therefore runs after
// every other static object's, and only gives back what nobody uses.
struct tablelife {
    tablelife() noexcept {
        table();
        ::pthread_atfork([] { table()->forkprepare(); }, [] { table()->forkdone(); },
                         [] { table()->forkdone(); });
    }
    ~tablelife() { table()->trim(); }
};
__attribute__((init_priority(101))) tablelife life;

}  // namespace

void* zo_alloc(size_t n) noexcept {
    return table()->allocate(n);
}

void zo_free(void* p) noexcept {
    table()->free(p);
}

size_t zo_usable(const void* p) noexcept {
    return zo_alloctor::usable(p);
}

void zo_trim() noexcept {
    table()->trim();
    // The client library and SQLite take their memory from the standard heap.
    malloc_trim(0);
}

}  // namespace zo

#endif
