// string_.h - the byte string in which all text and encoded buffers live.
//
// The object is one pointer to the first character; a string that never held
// anything, or was released, is a null pointer and reads as the empty text.
// An allocated string has an 8-byte header right before its characters:
// capacity (bytes for characters including one for a terminating zero) and
// length, both unsigned 32-bit.  The terminating zero is not kept up on every
// change; c_str() writes it.
//
// Growth: appends size the buffer to 2 x the new length below 16000 bytes and
// 1.5 x from 16000 on, so that building messages byte by byte stays cheap.
// Operations that cannot get memory leave the string as it was and return
// false; nothing throws.
//
// Thread-safety: a string belongs to one thread at a time.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "base/alloc.h"

namespace zo {

template <class A>
class string_ {
public:
    static constexpr uint32_t maxreserve = 4294967263u;

    string_() noexcept = default;
    string_(const char* s) { append(s); }  // NOLINT: implicit from text is intended
    string_(const void* p, uint32_t n) { append(p, n); }
    string_(std::string_view v) { append(v.data(), static_cast<uint32_t>(v.size())); }
    string_(const string_& o) { append(o.data(), o.size()); }
    string_(string_&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~string_() { release(); }
    string_& operator=(const string_& o) {
        if (this != &o) assign(o.data(), o.size());
        return *this;
    }
    string_& operator=(string_&& o) noexcept {
        if (this != &o) {
            release();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    string_& operator=(const char* s) {
        assign(std::string_view(s ? s : ""));
        return *this;
    }
    string_& operator=(std::string_view v) {
        assign(v.data(), static_cast<uint32_t>(v.size()));
        return *this;
    }

    uint32_t size() const noexcept { return p_ ? hdr()[1] : 0; }
    uint32_t length() const noexcept { return size(); }
    uint32_t capacity() const noexcept { return p_ ? hdr()[0] : 0; }
    bool empty() const noexcept { return size() == 0; }
    bool isnull() const noexcept { return p_ == nullptr; }

    // Never null: a null string gives a pointer to an empty text.
    const char* data() const noexcept { return p_ ? p_ : ""; }
    char* data() noexcept { return p_; }  // null for a null string
    const uint8_t* bytes() const noexcept { return reinterpret_cast<const uint8_t*>(data()); }
    std::string_view view() const noexcept { return {data(), size()}; }
    operator std::string_view() const noexcept { return view(); }

    // Writes the terminating zero at position length and returns the text.
    const char* c_str() noexcept {
        if (!p_) return "";
        p_[size()] = 0;
        return p_;
    }

    char& operator[](uint32_t i) noexcept { return p_[i]; }
    char operator[](uint32_t i) const noexcept { return p_[i]; }
    char back() const noexcept { return p_[size() - 1]; }

    // Makes room for n characters plus the terminator.
    bool reserve(uint32_t n) noexcept {
        if (n > maxreserve) return false;
        if (p_ && capacity() >= n + 1) return true;
        size_t block = (static_cast<size_t>(n) + 9 + 7) & ~static_cast<size_t>(7);
        if (block < 16) block = 16;
        if (p_ && A::usable(hdr()) >= block) {
            hdr()[0] = n + 1;
            return true;
        }
        auto* h = static_cast<uint32_t*>(A::alloc(block));
        if (!h) return false;
        if (p_) {
            std::memcpy(h, hdr(), 8 + static_cast<size_t>(size()));
            A::free(hdr());
        } else {
            h[1] = 0;
        }
        h[0] = n + 1;
        p_ = reinterpret_cast<char*>(h + 2);
        return true;
    }

    // Prepares for a length of newlen: grows geometrically when needed.  A new
    // length of 0 releases the buffer.  Does not change the length.
    bool sizeforappend(uint32_t newlen) noexcept {
        if (newlen == 0) {
            release();
            return true;
        }
        if (p_ && newlen <= capacity() - 1) return true;
        uint64_t want = newlen < 16000 ? 2ull * newlen : newlen + newlen / 2ull;
        if (want > maxreserve) want = newlen;
        return reserve(static_cast<uint32_t>(want));
    }

    // Sets the length; new bytes are left uninitialised.  0 releases.
    bool resize(uint32_t n) noexcept {
        if (!sizeforappend(n)) return false;
        if (p_) hdr()[1] = n;
        return true;
    }
    // Sets the length to n <= size() (or 0) without releasing the buffer.
    void truncate(uint32_t n) noexcept {
        if (p_ && n < size()) hdr()[1] = n;
    }
    void clear() noexcept { truncate(0); }

    void release() noexcept {
        if (p_) {
            A::free(hdr());
            p_ = nullptr;
        }
    }

    bool append(const void* s, uint32_t n) noexcept {
        if (n == 0) return true;
        uint32_t len = size();
        if (static_cast<uint64_t>(len) + n > maxreserve) return false;
        // s may point into this string: remember its offset across growth.
        const char* src = static_cast<const char*>(s);
        bool inside = p_ && src >= p_ && src < p_ + len;
        size_t off = inside ? static_cast<size_t>(src - p_) : 0;
        if (!sizeforappend(len + n)) return false;
        if (inside) src = p_ + off;
        std::memmove(p_ + len, src, n);
        hdr()[1] = len + n;
        return true;
    }
    bool append(const char* s) noexcept {
        return s ? append(s, static_cast<uint32_t>(std::strlen(s))) : true;
    }
    bool append(std::string_view v) noexcept {
        return append(v.data(), static_cast<uint32_t>(v.size()));
    }
    bool append(char c) noexcept { return append(&c, 1); }
    bool push_back(char c) noexcept { return append(&c, 1); }
    bool append(uint32_t n, char c) noexcept {
        uint32_t len = size();
        if (n == 0) return true;
        if (static_cast<uint64_t>(len) + n > maxreserve || !sizeforappend(len + n)) return false;
        std::memset(p_ + len, c, n);
        hdr()[1] = len + n;
        return true;
    }

    bool assign(const void* s, uint32_t n) noexcept {
        if (p_ && s >= static_cast<const void*>(p_) &&
            s < static_cast<const void*>(p_ + size())) {
            std::memmove(p_, s, n);
            hdr()[1] = n;
            return true;
        }
        clear();
        return append(s, n);
    }
    bool assign(std::string_view v) noexcept {
        return assign(v.data(), static_cast<uint32_t>(v.size()));
    }

    // printf-style append; false (string unchanged) when it cannot grow.
    bool appendf(const char* fmt, ...) noexcept __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, fmt);
        bool ok = vappendf(fmt, ap);
        va_end(ap);
        return ok;
    }
    bool vappendf(const char* fmt, va_list ap) noexcept {
        char buf[256];
        va_list ap2;
        va_copy(ap2, ap);
        int n = std::vsnprintf(buf, sizeof buf, fmt, ap2);
        va_end(ap2);
        if (n < 0) return false;
        if (static_cast<size_t>(n) < sizeof buf) return append(buf, static_cast<uint32_t>(n));
        uint32_t len = size();
        if (!sizeforappend(len + static_cast<uint32_t>(n))) return false;
        std::vsnprintf(p_ + len, static_cast<size_t>(n) + 1, fmt, ap);
        hdr()[1] = len + static_cast<uint32_t>(n);
        return true;
    }

    bool operator==(std::string_view v) const noexcept { return view() == v; }
    bool operator==(const string_& o) const noexcept { return view() == o.view(); }

    void swap(string_& o) noexcept {
        char* t = p_;
        p_ = o.p_;
        o.p_ = t;
    }

private:
    uint32_t* hdr() const noexcept { return reinterpret_cast<uint32_t*>(p_) - 2; }
    char* p_ = nullptr;
};

using string = string_<zo_string_alloctor>;
static_assert(sizeof(string) == sizeof(void*), "the string is a single pointer");

}  // namespace zo
