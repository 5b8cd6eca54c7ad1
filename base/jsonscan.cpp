#include "base/jsonscan.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace zo {

namespace {

inline bool isws(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A character is escaped when an odd number of backslashes comes right
// before it: in "C:\\data\\" the last quote ends the string, the backslashes
// before it being one escaped backslash.  Only runs of backslashes are walked,
// so the cost stays with texts that have them.
inline bool escaped(const char* s, size_t i) {
    size_t j = i;
    while (j > 0 && s[j - 1] == '\\') --j;
    return ((i - j) & 1) != 0;
}

inline char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool sameword(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Position of the next c at or after i that is not escaped, or n.
size_t findplain(const char* s, size_t i, size_t n, char c) {
    for (;;) {
        const void* hit = std::memchr(s + i, c, n - i);
        if (!hit) return n;
        i = static_cast<size_t>(static_cast<const char*>(hit) - s);
        if (!escaped(s, i)) return i;
        ++i;
    }
}

// s[open] is an opening bracket; returns the position right after its match,
// or 0 when the text ends first.
size_t matchbracket(const char* s, size_t open, size_t n) {
    const char o = s[open];
    const char c = o == '{' ? '}' : ']';
    size_t depth = 1;
    bool instr = false;
    for (size_t i = open + 1; i < n; ++i) {
        const char ch = s[i];
        if (ch == '"') {
            if (!escaped(s, i)) instr = !instr;
        } else if (!instr && (ch == o || ch == c) && !escaped(s, i)) {
            if (ch == o) {
                ++depth;
            } else if (--depth == 0) {
                return i + 1;
            }
        }
    }
    return 0;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads "\uXXXX" (or \U) at s[i..]; -1 when it is not there in full.
int32_t readu(const char* s, size_t i, size_t n) {
    if (n - i < 6 || s[i] != '\\' || (s[i + 1] != 'u' && s[i + 1] != 'U')) return -1;
    int32_t v = 0;
    for (size_t j = i + 2; j < i + 6; ++j) {
        int h = hexval(s[j]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

// End of the JSON number that starts at s[i], or i when none starts there.
size_t numberend(const char* s, size_t i, size_t n) {
    const size_t start = i;
    if (i < n && s[i] == '-') ++i;
    if (i == n || s[i] < '0' || s[i] > '9') return start;
    if (s[i] == '0') {
        ++i;
    } else {
        while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
    }
    if (i < n && s[i] == '.') {
        size_t d = ++i;
        while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
        if (i == d) return start;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        size_t d = i;
        while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
        if (i == d) return start;
    }
    return i;
}

// The first fault of a string's text (between its quotes) by JSON's rules:
// its offset with *why set, or n when there is none.
size_t stringfault(const char* s, size_t b, size_t e, const char** why) {
    for (size_t i = b; i < e; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20) {
            *why = "a control character (a line break or tab) inside a string";
            return i;
        }
        if (c != '\\') continue;
        if (i + 1 == e) {
            *why = "a backslash at the end of a string";
            return i;
        }
        const char x = s[i + 1];
        if (x == 'u') {
            if (readu(s, i, e) < 0) {
                *why = "a \\u escape without four hex digits";
                return i;
            }
            i += 5;
            continue;
        }
        if (x == 0 || !std::strchr("\"\\/bfnrt", x)) {
            *why = "an unknown escape (write \\\\ for a backslash)";
            return i;
        }
        ++i;
    }
    return e;
}

}  // namespace

jsonscan::jsonscan() noexcept {
    v_.reserve(128);  // usual member lists then never grow; a failure here only means growing later
}

bool jsonscan::fail(const char* why, size_t pos) noexcept {
    err_ = why;
    errpos_ = pos;
    return false;
}

bool jsonscan::scan(const char* s, size_t n) noexcept {
    return scanwith(s, n, false);
}

bool jsonscan::scanstrict(std::string_view text) noexcept {
    return scanwith(text.data(), text.size(), true);
}

bool jsonscan::scanwith(const char* s, size_t n, bool strict) noexcept {
    v_.clear();
    err_ = "";
    errpos_ = 0;
    if (!s || n == 0) return fail("empty text", 0);
    // Entries hold 32-bit lengths.
    if (n > UINT32_MAX) return fail("text longer than 4 GB", 0);
    size_t i = 0;
    while (i < n && isws(s[i])) ++i;
    if (i == n) return fail("empty text", i);
    const bool isobj = s[i] == '{';
    if (!isobj && s[i] != '[') return fail("text does not start with { or [", i);
    const char close = isobj ? '}' : ']';
    ++i;
    // Strict reading: a value was read and no comma has come after it yet;
    // a comma came (and a member must follow).
    bool aftervalue = false;
    bool aftercomma = false;
    size_t comma = 0;
    const char* why = "";
    for (;;) {
        while (i < n && isws(s[i])) ++i;
        if (i == n) return fail("text ends inside the object or array", i);
        if (s[i] == ',') {
            if (strict && !aftervalue) {
                return fail(aftercomma ? "two commas in a row" : "a comma before the first member",
                            i);
            }
            aftervalue = false;
            aftercomma = true;
            comma = i++;
            continue;
        }
        if (s[i] == close) {
            if (!strict) return true;
            if (aftercomma) return fail("a comma after the last member", comma);
            size_t j = i + 1;
            while (j < n && isws(s[j])) ++j;
            if (j < n) return fail("text after the closing bracket", j);
            return true;
        }
        if (strict && aftervalue) return fail("a comma is missing before this member", i);
        aftervalue = true;
        aftercomma = false;
        jsonentry e{"", 0, nullptr, 0, JSON_LITERAL};
        if (isobj) {
            if (s[i] != '"') return fail("member does not start with a quoted key", i);
            size_t k = i + 1;
            size_t q = findplain(s, k, n, '"');
            if (q == n) return fail("text ends inside a key", i);
            if (q == k) return fail("empty key", i);
            if (q - k > maxkey) return fail("key longer than 63 characters", i);
            if (strict) {
                size_t f = stringfault(s, k, q, &why);
                if (f != q) return fail(why, f);
            }
            e.key = s + k;
            e.keylen = static_cast<uint32_t>(q - k);
            size_t colon = findplain(s, q + 1, n, ':');
            if (colon == n) return fail("no colon after a key", q);
            if (strict) {
                size_t j = q + 1;
                while (j < n && isws(s[j])) ++j;
                if (j != colon) return fail("a colon must follow the key", j);
            }
            i = colon + 1;
            while (i < n && isws(s[i])) ++i;
            if (i == n) return fail("text ends before a value", i);
        }
        const char c = s[i];
        if (c == '"') {
            size_t q = findplain(s, i + 1, n, '"');
            if (q == n) return fail("text ends inside a string", i);
            if (strict) {
                size_t f = stringfault(s, i + 1, q, &why);
                if (f != q) return fail(why, f);
            }
            e.val = s + i + 1;
            e.vallen = static_cast<uint32_t>(q - i - 1);
            e.type = JSON_STRING;
            i = q + 1;
            if (!isobj && e.vallen == 0) continue;  // empty array strings are dropped
        } else if (c == '{' || c == '[') {
            size_t end = matchbracket(s, i, n);
            if (end == 0) return fail("text ends inside a nested object or array", i);
            e.val = s + i;
            e.vallen = static_cast<uint32_t>(end - i);
            e.type = c == '{' ? JSON_OBJECT : JSON_ARRAY;
            i = end;
        } else if (strict) {
            size_t j = i;
            while (j < n && !isws(s[j]) && !std::strchr(",:{}[]\"", s[j])) ++j;
            if (j == n) return fail("text ends inside a literal", i);
            std::string_view v(s + i, j - i);
            if (v.empty()) return fail("a value is missing", i);
            if (v == "true" || v == "false") {
                e.type = isobj ? JSON_BOOL : JSON_LITERAL;
            } else if (v == "null") {
                e.type = isobj ? JSON_NULL : JSON_LITERAL;
            } else if (numberend(s, i, j) != j) {
                return fail("not a number, true, false or null (a text needs quotes)", i);
            }
            e.val = s + i;
            e.vallen = static_cast<uint32_t>(j - i);
            i = j;
        } else {
            size_t j = i + 1;
            for (; j < n; ++j) {
                const char ch = s[j];
                bool stop = isobj
                                ? (ch == ',' || ch == '}' || ch == '\n' || ch == ' ' || ch == '\t')
                                : (ch == ',' || ch == ']');
                if (stop && !escaped(s, j)) break;
            }
            if (j == n) return fail("text ends inside a literal", i);
            e.val = s + i;
            e.vallen = static_cast<uint32_t>(j - i);
            e.type = JSON_LITERAL;
            if (isobj) {
                std::string_view v = e.valview();
                if (v == "true" || v == "false") {
                    e.type = JSON_BOOL;
                } else if (v == "null") {
                    e.type = JSON_NULL;
                }
            }
            i = j;
        }
        if (!v_.push_back(e)) return fail("no memory for the member list", i);
    }
}

const jsonentry* jsonscan::find(std::string_view key) const noexcept {
    for (size_t i = 0; i < v_.size(); ++i) {
        if (sameword(v_[i].keyview(), key)) return &v_[i];
    }
    return nullptr;
}

bool jsonscan::gettext(std::string_view key, zo::string& out) const noexcept {
    const jsonentry* e = find(key);
    if (!e) return false;
    out.clear();
    if (e->type != JSON_NULL) jsonunescape(e->valview(), out);
    return true;
}

bool jsonscan::getint(std::string_view key, int32_t& out) const noexcept {
    out = 0;
    const jsonentry* e = find(key);
    if (!e || e->vallen == 0) return false;
    if (e->type == JSON_NULL) return true;
    std::string_view v = e->valview();
    if (v.size() > 31) v = v.substr(0, 31);
    size_t i = 0;
    while (i < v.size() && (isws(v[i]) || v[i] == '\v' || v[i] == '\f')) ++i;
    bool neg = false;
    if (i < v.size() && (v[i] == '+' || v[i] == '-')) neg = v[i++] == '-';
    int64_t x = 0;
    for (; i < v.size() && v[i] >= '0' && v[i] <= '9'; ++i) {
        x = x * 10 + (v[i] - '0');
        if (x > INT64_C(1) << 40) x = INT64_C(1) << 40;  // saturates below
    }
    if (neg) x = -x;
    if (x > INT32_MAX) x = INT32_MAX;
    if (x < INT32_MIN) x = INT32_MIN;
    out = static_cast<int32_t>(x);
    if (out == 0 && (sameword(e->valview(), "true") || sameword(e->valview(), "yes"))) out = 1;
    return true;
}

bool jsonscan::getdouble(std::string_view key, double& out) const noexcept {
    out = 0;
    const jsonentry* e = find(key);
    if (!e || !jsonreaddouble(e->valview(), out)) {
        out = 0;
        return false;
    }
    return true;
}

bool appendutf8(zo::string& out, uint32_t cp) noexcept {
    char b[6];
    int n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        n = 2;
    } else if (cp < 0x10000) {
        n = 3;
    } else if (cp < 0x200000) {
        n = 4;
    } else if (cp < 0x4000000) {
        n = 5;
    } else if (cp < 0x80000000u) {
        n = 6;
    } else {
        return false;
    }
    if (n > 1) {
        // Lead byte: n high one bits, then the top bits of cp.
        static const uint8_t lead[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
        for (int j = n - 1; j > 0; --j) {
            b[j] = static_cast<char>(0x80 | (cp & 0x3F));
            cp >>= 6;
        }
        b[0] = static_cast<char>(lead[n] | cp);
    }
    return out.append(b, static_cast<uint32_t>(n));
}

bool jsonunescape(std::string_view text, zo::string& out) noexcept {
    const char* s = text.data();
    const size_t n = text.size();
    const void* bs = n ? std::memchr(s, '\\', n) : nullptr;
    if (!bs) return out.append(s, static_cast<uint32_t>(n));
    size_t i = static_cast<size_t>(static_cast<const char*>(bs) - s);
    if (!out.append(s, static_cast<uint32_t>(i))) return false;
    while (i < n) {
        const char c = s[i];
        if (c != '\\') {
            // Copy the run up to the next backslash in one go.
            const void* nb = std::memchr(s + i, '\\', n - i);
            size_t j = nb ? static_cast<size_t>(static_cast<const char*>(nb) - s) : n;
            if (!out.append(s + i, static_cast<uint32_t>(j - i))) return false;
            i = j;
            continue;
        }
        if (i + 1 == n) return false;  // a backslash at the end
        const char e = s[i + 1];
        char put = 0;
        switch (e) {
            case '"':
            case '/':
            case '\\':
                put = e;
                break;
            case 'b':
                put = 8;
                break;
            case 'f':
                put = 12;
                break;
            case 'n':
                put = 10;
                break;
            case 'r':
                put = 13;
                break;
            case 't':
                put = 9;
                break;
            case 'u':
            case 'U': {
                int32_t u = readu(s, i, n);
                if (u < 0) return false;
                i += 6;
                uint32_t cp = static_cast<uint32_t>(u);
                if (u >= 0xD800 && u <= 0xDBFF) {
                    int32_t lo = readu(s, i, n);
                    if (lo < 0xDC00 || lo > 0xDFFF) return false;
                    i += 6;
                    cp = 0x10000 + (static_cast<uint32_t>(u) - 0xD800) * 1024 +
                         (static_cast<uint32_t>(lo) - 0xDC00);
                }
                if (!appendutf8(out, cp)) return false;
                continue;
            }
            default:
                i += 2;  // an unknown escape drops both characters
                continue;
        }
        if (!out.append(put)) return false;
        i += 2;
    }
    return true;
}

namespace {

// Copies text without its surrounding white space into buf and ends it with
// a zero; 0 when that leaves nothing or more than cap - 1 characters.
size_t trimcopy(std::string_view text, char* buf, size_t cap) {
    size_t b = 0, e = text.size();
    while (b < e && isws(text[b])) ++b;
    while (e > b && isws(text[e - 1])) --e;
    if (b == e || e - b >= cap) return 0;
    std::memcpy(buf, text.data() + b, e - b);
    buf[e - b] = 0;
    return e - b;
}

}  // namespace

bool jsonreaddouble(std::string_view text, double& out) noexcept {
    char buf[401];
    size_t n = trimcopy(text, buf, sizeof buf);
    if (n == 0) return false;
    char* end = nullptr;
    double v = std::strtod(buf, &end);
    if (end != buf + n) return false;
    out = v;
    return true;
}

bool jsonreadint64(std::string_view text, int64_t& out) noexcept {
    char buf[41];
    size_t n = trimcopy(text, buf, sizeof buf);
    if (n == 0) return false;
    if (buf[0] != '-' && buf[0] != '+' && (buf[0] < '0' || buf[0] > '9')) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(buf, &end, 10);
    if (end != buf + n || errno == ERANGE || end == buf) return false;
    out = static_cast<int64_t>(v);
    return true;
}

}  // namespace zo
