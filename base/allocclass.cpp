#include "base/allocclass.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace zo {

namespace {

constexpr uint32_t firstsegbytes = 32768;
constexpr uint32_t firstsegmin = 16;

[[noreturn]] void corrupt(const char* what) noexcept {
    std::fprintf(stderr, "zo_alloctor: Assertion `%s' failed.\n", what);
    std::abort();
}

}  // namespace

uint32_t allocclass::firstblocks(uint32_t blocksize, uint32_t perseg) noexcept {
    if (perseg > firstsegmin && static_cast<uint64_t>(blocksize) * perseg > firstsegbytes) {
        uint32_t n = firstsegbytes / blocksize;
        return n > firstsegmin ? n : firstsegmin;
    }
    return perseg;
}

allocseg* allocclass::grow() noexcept {
    assert(lock_.held());
    uint32_t blocks = first_ ? perseg_ : firstblocks(blocksize_, perseg_);
    allocseg* s = allocseg::create(this, store_, blocksize_, blocks);
    if (!s) return nullptr;
    if (!first_) {
        first_ = s;
    } else {
        s->setnext(first_->next());
        first_->setnext(s);
    }
    ++nseg_;
    free_ += s->capacity();
    return s;
}

bool allocclass::prime() noexcept {
    std::lock_guard<alloclock> g(lock_);
    return first_ || grow();
}

void* allocclass::take() noexcept {
    std::lock_guard<alloclock> g(lock_);
    if (free_ == 0) {
        allocseg* s = grow();
        if (!s) return nullptr;
        --free_;
        return s->take(blocksize_);
    }
    allocseg* prev = nullptr;
    for (allocseg* s = first_; s; prev = s, s = s->next()) {
        void* pret = s->take(blocksize_);
        if (!pret) continue;
        --free_;
        if (prev && prev != first_ && s->free() > 0) {
            prev->setnext(s->next());
            s->setnext(first_->next());
            first_->setnext(s);
        }
        return pret;
    }
    corrupt("pret != nullptr");
}

void allocclass::put(allocseg* seg, void* block) noexcept {
    std::lock_guard<alloclock> g(lock_);
    seg->put(block, blocksize_);
    ++free_;
    if (nseg_ > 3 && seg->idle() && seg != first_ && free_ != perseg_) releaseidle();
}

void allocclass::releaseidle() noexcept {
    assert(lock_.held());
    allocseg* prev = first_;
    while (allocseg* s = prev->next()) {
        if (!s->idle()) {
            prev = s;
            continue;
        }
        prev->setnext(s->next());
        --nseg_;
        free_ -= s->capacity();
        s->destroy(store_);
    }
}

void allocclass::trim() noexcept {
    std::lock_guard<alloclock> g(lock_);
    if (!first_) return;
    releaseidle();
    if (first_->idle()) {
        allocseg* s = first_;
        first_ = s->next();
        --nseg_;
        free_ -= s->capacity();
        s->destroy(store_);
    }
}

void allocclass::destroy() noexcept {
    while (allocseg* s = first_) {
        first_ = s->next();
        s->destroy(store_);
    }
    nseg_ = free_ = 0;
}

allocclass::counts allocclass::snapshot() noexcept {
    std::lock_guard<alloclock> g(lock_);
    return {nseg_, free_};
}

}  // namespace zo
