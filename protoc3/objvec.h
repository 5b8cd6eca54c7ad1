// objvec.h - a growable array of records whose memory comes from zo_alloc.
//
// Used for the repeated fields of the protocol messages (the records of a
// body_objarray, the texts of body_unkown).  Unlike std::vector it reports
// a failed allocation by its result instead of throwing, so that a decoder
// fed a hostile package fails cleanly.
//
// REQUIRES: T is default-constructible and nothrow move-constructible (the
// message records and zo::string are).
// Growth: twice the old capacity, at least 4.  clear() destroys the elements
// and keeps the capacity.  Copying is not offered; arrays are moved.
//
// Thread-safety: an objvec belongs to one thread at a time.
#pragma once
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "base/alloc.h"

namespace zo {

template <class T>
class objvec {
  public:
    objvec() noexcept = default;
    ~objvec() {
        clear();
        zo_free(p_);
    }
    objvec(const objvec&) = delete;
    objvec& operator=(const objvec&) = delete;
    objvec(objvec&& o) noexcept : p_(o.p_), n_(o.n_), cap_(o.cap_) {
        o.p_ = nullptr;
        o.n_ = o.cap_ = 0;
    }
    objvec& operator=(objvec&& o) noexcept {
        if (this != &o) {
            clear();
            zo_free(p_);
            p_ = o.p_;
            n_ = o.n_;
            cap_ = o.cap_;
            o.p_ = nullptr;
            o.n_ = o.cap_ = 0;
        }
        return *this;
    }

    uint32_t size() const noexcept { return n_; }
    uint32_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return n_ == 0; }
    T& operator[](uint32_t i) noexcept { return p_[i]; }
    const T& operator[](uint32_t i) const noexcept { return p_[i]; }
    T* begin() noexcept { return p_; }
    T* end() noexcept { return p_ + n_; }
    const T* begin() const noexcept { return p_; }
    const T* end() const noexcept { return p_ + n_; }
    T& back() noexcept { return p_[n_ - 1]; }

    // Room for at least n elements; false when memory cannot be had.
    bool reserve(uint32_t n) noexcept {
        if (n <= cap_) return true;
        if (n > 0x7FFFFFFFu / sizeof(T)) return false;
        T* q = static_cast<T*>(zo_alloc(static_cast<size_t>(n) * sizeof(T)));
        if (!q) return false;
        for (uint32_t i = 0; i < n_; ++i) {
            new (q + i) T(std::move(p_[i]));
            p_[i].~T();
        }
        zo_free(p_);
        p_ = q;
        cap_ = n;
        return true;
    }

    // Moves v to the end; false (v untouched) when the array cannot grow.
    bool append(T&& v) noexcept {
        if (!grow()) return false;
        new (p_ + n_) T(std::move(v));
        ++n_;
        return true;
    }
    // A default-made element at the end, or null when the array cannot grow.
    T* emplace() noexcept {
        if (!grow()) return nullptr;
        T* e = new (p_ + n_) T();
        ++n_;
        return e;
    }
    void pop_back() noexcept {
        if (n_) p_[--n_].~T();
    }
    void clear() noexcept {
        while (n_) p_[--n_].~T();
    }

  private:
    static_assert(std::is_nothrow_move_constructible_v<T>, "elements must move without throwing");
    bool grow() noexcept {
        if (n_ < cap_) return true;
        uint64_t want = cap_ < 4 ? 4 : 2ull * cap_;
        if (want > 0x7FFFFFFFu) want = 0x7FFFFFFFu;
        return want > cap_ && reserve(static_cast<uint32_t>(want));
    }

    T* p_ = nullptr;
    uint32_t n_ = 0;
    uint32_t cap_ = 0;
};

}  // namespace zo
