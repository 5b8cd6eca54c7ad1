// array_.h - the growable array of records (tag values, SOE records, JSON
// entries, pointers).
//
// Storage comes from zo_alloc through zo::stdalloc.  When full, the array
// grows to the larger of 1.5 x its capacity and the size needed, so that a
// long run of appends costs amortised constant time without the doubling of
// std::vector.  Nothing throws out of it: a request beyond maxsize() or a
// failed allocation is a false (or null) result and the array is left as it
// was.  Inside, an over-large request is a std::length_error "vector too
// long", caught before it leaves the class.
//
// It serves the repeated fields of the protocol messages, the JSON entry
// lists and the record buffers alike.  A cap on the element count, where
// input decides the count, belongs to the caller (see body_objarray).
//
// REQUIRES: T's move constructor and destructor do not throw (records built
// from zo::string and plain numbers satisfy this).
//
// Thread-safety: an array belongs to one thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "base/alloc.h"

namespace zo {

template <class T>
class array_ {
    static_assert(std::is_nothrow_move_constructible_v<T>, "elements must move without throwing");

  public:
    using value_type = T;

    array_() noexcept = default;
    ~array_() { release(); }
    array_(const array_&) = delete;
    array_& operator=(const array_&) = delete;
    array_(array_&& o) noexcept : p_(o.p_), n_(o.n_), cap_(o.cap_) {
        o.p_ = nullptr;
        o.n_ = o.cap_ = 0;
    }
    array_& operator=(array_&& o) noexcept {
        if (this != &o) {
            release();
            p_ = o.p_;
            n_ = o.n_;
            cap_ = o.cap_;
            o.p_ = nullptr;
            o.n_ = o.cap_ = 0;
        }
        return *this;
    }

    // Largest element count the array accepts.
    static constexpr size_t maxsize() noexcept {
        return static_cast<size_t>(PTRDIFF_MAX) / sizeof(T);
    }

    size_t size() const noexcept { return n_; }
    size_t capacity() const noexcept { return cap_; }
    bool empty() const noexcept { return n_ == 0; }
    T* data() noexcept { return p_; }
    const T* data() const noexcept { return p_; }
    T& operator[](size_t i) noexcept { return p_[i]; }
    const T& operator[](size_t i) const noexcept { return p_[i]; }
    T& back() noexcept { return p_[n_ - 1]; }
    T* begin() noexcept { return p_; }
    T* end() noexcept { return p_ + n_; }
    const T* begin() const noexcept { return p_; }
    const T* end() const noexcept { return p_ + n_; }

    // Room for n elements in all; false (array unchanged) when it cannot be had.
    bool reserve(size_t n) noexcept {
        if (n <= cap_) return true;
        try {
            if (n > maxsize()) throw std::length_error("vector too long");
            return relocate(n);
        } catch (const std::exception&) {
            return false;
        }
    }

    // Constructs an element at the end; null when there is no room.
    template <class... Args>
    T* emplace_back(Args&&... args) noexcept {
        if (n_ == cap_ && !grow(n_ + 1)) return nullptr;
        T* e = ::new (static_cast<void*>(p_ + n_)) T(std::forward<Args>(args)...);
        ++n_;
        return e;
    }
    bool push_back(const T& v) noexcept { return emplace_back(v) != nullptr; }
    bool push_back(T&& v) noexcept { return emplace_back(std::move(v)) != nullptr; }
    // The names the message code uses: a value-initialised element at the
    // end (null when there is no room), and a move to the end (false, v
    // untouched, when there is no room).
    T* emplace() noexcept { return emplace_back(); }
    bool append(T&& v) noexcept { return push_back(std::move(v)); }

    // Value-initialises new elements or destroys surplus ones.
    bool resize(size_t n) noexcept {
        if (n > cap_ && !grow(n)) return false;
        while (n_ < n) ::new (static_cast<void*>(p_ + n_++)) T();
        while (n_ > n) p_[--n_].~T();
        return true;
    }

    void pop_back() noexcept {
        if (n_) p_[--n_].~T();
    }
    // Destroys the elements and keeps the storage.
    void clear() noexcept {
        while (n_) p_[--n_].~T();
    }
    // Destroys the elements and frees the storage.
    void release() noexcept {
        clear();
        if (p_) zo_free(p_);
        p_ = nullptr;
        cap_ = 0;
    }

    // The capacity that an append needing `needed` elements grows to.
    // Throws std::length_error beyond maxsize(); only used inside.
    size_t growncapacity(size_t needed) const {
        if (needed > maxsize()) throw std::length_error("vector too long");
        size_t half = cap_ / 2;
        size_t wide = cap_ > maxsize() - half ? maxsize() : cap_ + half;
        return wide > needed ? wide : needed;
    }

  private:
    bool grow(size_t needed) noexcept {
        try {
            return relocate(growncapacity(needed));
        } catch (const std::exception&) {
            return false;
        }
    }
    bool relocate(size_t cap) {
        T* q = stdalloc<T>().allocate(cap);  // throws std::bad_alloc, caught by callers
        for (size_t i = 0; i < n_; ++i) {
            ::new (static_cast<void*>(q + i)) T(std::move(p_[i]));
            p_[i].~T();
        }
        if (p_) zo_free(p_);
        p_ = q;
        cap_ = cap;
        return true;
    }

    T* p_ = nullptr;
    size_t n_ = 0;
    size_t cap_ = 0;
};

}  // namespace zo
