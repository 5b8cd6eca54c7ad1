#include "base/decint.h"

namespace zo {

int32_t decint(const char* p, size_t n) noexcept {
    if (!p) return 0;
    size_t i = 0;
    while (i < n && (p[i] == ' ' || (p[i] >= '\t' && p[i] <= '\r'))) ++i;
    bool neg = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) neg = p[i++] == '-';
    int64_t v = 0;
    const int64_t lim = neg ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    for (; i < n && p[i] >= '0' && p[i] <= '9'; ++i) {
        v = v * 10 + (p[i] - '0');
        if (v > lim) v = lim;  // saturate; keeps v small enough not to overflow
    }
    return static_cast<int32_t>(neg ? -v : v);
}

}  // namespace zo
