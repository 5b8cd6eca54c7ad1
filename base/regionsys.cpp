#include "base/regionsys.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace zo {

namespace {

class mmapsys final : public regionsys {
  public:
    void* commit(size_t n, size_t* got) noexcept override {
        size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        if (n == 0 || n > SIZE_MAX - page) return nullptr;
        size_t len = (n + page - 1) & ~(page - 1);
        void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        *got = len;
        return p;
    }
    void release(void* p, size_t n) noexcept override { ::munmap(p, n); }
};

// Trivially destructible, so no exit handler ever tears it down.
constinit mmapsys realsys;

}  // namespace

regionsys* regionsys::system() noexcept {
    return &realsys;
}

}  // namespace zo
