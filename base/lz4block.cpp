#include "base/lz4block.h"

#include <climits>

namespace zo::lz4block {

namespace {
constexpr uint32_t intmax = INT_MAX;  // the library counts in int
}  // namespace

int compress(const void* src, uint32_t n, void* dst, uint32_t cap) noexcept {
    if (n > maxinput || cap > intmax) return 0;
    return LZ4_compress_default(static_cast<const char*>(src), static_cast<char*>(dst),
                                static_cast<int>(n), static_cast<int>(cap));
}

int decompress(const void* src, uint32_t n, void* dst, uint32_t cap) noexcept {
    if (n > intmax || cap > intmax) return -1;
    return LZ4_decompress_safe(static_cast<const char*>(src), static_cast<char*>(dst),
                               static_cast<int>(n), static_cast<int>(cap));
}

}  // namespace zo::lz4block
