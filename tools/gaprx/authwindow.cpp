#include "tools/gaprx/authwindow.h"

void authwindow::start(uint32_t a, uint32_t bodycrc) {
    if (started_) life_ = (life_ + 1) % lives;  // the oldest life is forgotten
    started_ = true;
    hi_ = a;
    seen_.reset();
    earlyseen_[life_].reset();
    mark(a, bodycrc);
}

bool authwindow::copyofearly(uint32_t a, uint32_t bodycrc) const {
    if (a > early) return false;
    for (uint32_t l = 0; l < lives; ++l) {
        if (earlyseen_[l].test(a) && earlycrc_[l][a] == bodycrc) return true;
    }
    return false;
}

void authwindow::mark(uint32_t a, uint32_t bodycrc) {
    seen_.set(a % window);
    if (a <= early) {
        earlyseen_[life_].set(a);
        earlycrc_[life_][a] = bodycrc;
    }
}

authwindow::result authwindow::take(uint32_t a, uint32_t dgramseq, uint32_t bodycrc) {
    if (!started_) {
        start(a, bodycrc);
        return FRESH;
    }
    auto d = static_cast<int32_t>(a - hi_);
    if (d > 0) {
        // Positions the window moves past become free for the new counts.
        if (static_cast<uint32_t>(d) >= window) {
            seen_.reset();
        } else {
            for (uint32_t x = hi_ + 1; x != a; ++x) seen_.reset(x % window);
        }
        hi_ = a;
        mark(a, bodycrc);
        return FRESH;
    }
    uint32_t behind = hi_ - a;
    if (behind < window && !seen_.test(a % window)) {
        mark(a, bodycrc);
        return REORDERED;
    }
    if (a >= 1 && a <= early && dgramseq >= 1 && dgramseq <= early && !copyofearly(a, bodycrc)) {
        start(a, bodycrc);
        return RESTART;
    }
    return REPLAY;
}
