#include "base/ilog.h"

#include <cstring>

#include "base/decint.h"

namespace zo {

namespace {

struct levelrow {
    const char* word;
    int level;
};

// Searched in this order both ways: "inf" is the word printed for 30.
constexpr levelrow levelrows[] = {
    {"err", LOG_ERR}, {"wrn", LOG_WRN}, {"inf", LOG_INF}, {"msg", LOG_INF},
    {"mor", LOG_MOR}, {"dbg", LOG_DBG}, {"all", LOG_ALL},
};

bool sameword(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
        if (x != *b) return false;
    }
    return *a == *b;
}

}  // namespace

int levelfromword(const char* word) {
    if (!word || !*word) return LOG_INF;
    for (const levelrow& r : levelrows) {
        if (sameword(word, r.word)) return r.level;
    }
    int v = decint(word, std::strlen(word));
    return v == 0 ? LOG_INF : v;
}

const char* levelword(int level) {
    for (const levelrow& r : levelrows) {
        if (r.level == level) return r.word;
    }
    return "ndf";
}

}  // namespace zo
