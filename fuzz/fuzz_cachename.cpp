// Fuzz target: cache file names and period stamps.  Any directory entry's
// name gives a stamp without fault; the name of a stamp reads back as that
// stamp; and a period stamp is the start of the ten-minute period of its
// moment.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cache/cachefile.h"
#include "fuzz/fuzzmain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    cachefile::stampofname(std::string_view(reinterpret_cast<const char*>(data), size));

    int64_t t = 0;
    std::memcpy(&t, data, size < sizeof t ? size : sizeof t);
    zo::string name;
    if (!cachefile::filename(t, name)) std::abort();
    if (cachefile::stampofname(name.view()) != t) std::abort();
    if (t > INT64_MIN + cachefile::period) {
        int64_t p = cachefile::periodstamp(t);
        if (p > t || t - p >= cachefile::period || p % cachefile::period != 0) std::abort();
    }
    return 0;
}
