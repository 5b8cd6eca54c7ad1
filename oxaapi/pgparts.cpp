#include "oxaapi/pgparts.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>

namespace oxa {

namespace {

constexpr int64_t year10000ms = 253402300800000;  // 10000-01-01 UTC

int64_t floordiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

bool readnum(std::string_view& s, int64_t* v) {
    while (!s.empty() && (s[0] == ' ' || s[0] == '\'')) s.remove_prefix(1);
    bool neg = false;
    if (!s.empty() && s[0] == '-') {
        neg = true;
        s.remove_prefix(1);
    }
    if (s.empty() || s[0] < '0' || s[0] > '9') return false;
    uint64_t x = 0;
    while (!s.empty() && s[0] >= '0' && s[0] <= '9') {
        if (x > (static_cast<uint64_t>(INT64_MAX) + 1) / 10) return false;
        x = x * 10 + static_cast<uint64_t>(s[0] - '0');
        s.remove_prefix(1);
    }
    if (x > static_cast<uint64_t>(INT64_MAX) + (neg ? 1 : 0)) return false;
    *v = neg ? static_cast<int64_t>(0 - x) : static_cast<int64_t>(x);
    while (!s.empty() && (s[0] == ' ' || s[0] == '\'')) s.remove_prefix(1);
    return true;
}

bool skip(std::string_view& s, std::string_view word) {
    while (!s.empty() && s[0] == ' ') s.remove_prefix(1);
    if (s.substr(0, word.size()) != word) return false;
    s.remove_prefix(word.size());
    return true;
}

}  // namespace

std::string partname(int64_t lo) {
    char buf[64];
    if (lo < 0 || lo >= year10000ms) {
        uint64_t mag = lo < 0 ? 0 - static_cast<uint64_t>(lo) : static_cast<uint64_t>(lo);
        std::snprintf(buf, sizeof buf, "history_t%s%llu", lo < 0 ? "m" : "",
                      static_cast<unsigned long long>(mag));
        return buf;
    }
    std::time_t t = static_cast<std::time_t>(lo / 1000);
    std::tm tm;
    gmtime_r(&t, &tm);
    int n = std::snprintf(buf, sizeof buf, "history_%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                          tm.tm_mday);
    if (lo % daysms != 0)
        std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "_%02d%02d%02d", tm.tm_hour,
                      tm.tm_min, tm.tm_sec);
    if (lo % 1000 != 0) return "history_t" + std::to_string(lo);  // a bound made by hand
    return buf;
}

bool parsebound(std::string_view s, int64_t* lo, int64_t* hi) {
    return skip(s, "FOR VALUES FROM") && skip(s, "(") && readnum(s, lo) && skip(s, ")") &&
           skip(s, "TO") && skip(s, "(") && readnum(s, hi) && skip(s, ")") && s.empty() &&
           *lo < *hi;
}

void partplan::add(int64_t lo, int64_t hi, std::string name) {
    partrange r{lo, hi, std::move(name)};
    auto it = std::lower_bound(ranges_.begin(), ranges_.end(), lo,
                               [](const partrange& a, int64_t v) { return a.lo < v; });
    ranges_.insert(it, std::move(r));
    hint_ = 0;
}

bool partplan::covers(int64_t t) const {
    if (hint_ < ranges_.size() && ranges_[hint_].lo <= t && t < ranges_[hint_].hi) return true;
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), t,
                               [](int64_t v, const partrange& a) { return v < a.lo; });
    if (it == ranges_.begin()) return false;
    --it;
    if (t >= it->hi) return false;
    hint_ = static_cast<size_t>(it - ranges_.begin());
    return true;
}

partrange partplan::plan(int64_t t, int64_t periodms) const {
    if (periodms <= 0) periodms = daysms;
    int64_t k = floordiv(t, periodms);
    int64_t lo = k <= floordiv(INT64_MIN, periodms) ? INT64_MIN : k * periodms;
    int64_t hi = k >= floordiv(INT64_MAX, periodms) ? INT64_MAX : (k + 1) * periodms;
    for (const partrange& r : ranges_) {
        if (r.hi <= t && r.hi > lo) lo = r.hi;
        if (r.lo > t && r.lo < hi) hi = r.lo;
    }
    return partrange{lo, hi, partname(lo)};
}

std::vector<partrange> partplan::before(int64_t cutoff) const {
    std::vector<partrange> out;
    for (const partrange& r : ranges_)
        if (r.hi <= cutoff) out.push_back(r);
    return out;
}

void partplan::remove(const std::string& name) {
    ranges_.erase(std::remove_if(ranges_.begin(), ranges_.end(),
                                 [&](const partrange& r) { return r.name == name; }),
                  ranges_.end());
    hint_ = 0;
}

}  // namespace oxa
