#include "tools/gaprx/seqtrack.h"

seqtrack::result seqtrack::take(uint32_t seq) {
    if (!started_) {
        started_ = true;
        first_ = hi_ = seq;
        seen_.reset();
        seen_.set(seq % window);
        return NEXT;
    }
    auto d = static_cast<int32_t>(seq - hi_);
    if (d > 0) {
        auto skipped = static_cast<uint32_t>(d) - 1;
        if (seq < hi_ && skipped > 0) --skipped;  // the sender skips 0 when it wraps
        lost_ += skipped;
        if (static_cast<uint32_t>(d) >= window) {
            seen_.reset();
        } else {
            for (uint32_t x = hi_ + 1; x != seq; ++x) seen_.reset(x % window);
        }
        hi_ = seq;
        seen_.set(seq % window);
        return skipped ? GAP : NEXT;
    }
    if (hi_ - seq >= window) return TOOOLD;
    if (seen_.test(seq % window)) {
        ++dups_;
        return DUP;
    }
    seen_.set(seq % window);
    ++reordered_;
    // Only a number after the first one was counted as lost when skipped.
    if (static_cast<int32_t>(seq - first_) > 0 && lost_ > 0) --lost_;
    return LATE;
}

void seqtrack::restart(uint32_t seq) {
    // As if number 0 had been the highest: 1 .. seq-1 count as lost.
    started_ = true;
    first_ = 0;
    hi_ = 0;
    seen_.reset();
    seen_.set(0);
    take(seq);
}
