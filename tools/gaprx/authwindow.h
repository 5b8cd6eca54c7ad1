// authwindow.h - gaprx's replay check over the authcount of each datagram,
// and its recognition of a sender that started again.
//
// Every message a sender builds carries a new authcount (1, 2, 3, ... for
// the life of the sender process).  take() accepts an authcount above the
// highest seen, and one up to `window` below it that was not seen yet (the
// network may reorder); each authcount is accepted once.  Anything else is
// a replay, unless it is the start of a new sender life: authcount and
// dgramseq both at most `early`, and not a byte-identical copy of a datagram
// with that authcount taken before (told by the body CRC, kept for the
// first `early` datagrams of the last `lives` lives).  A restart resets the
// window to the new life.
//
// Limits, stated: a copy of one of the first `early` datagrams of a life
// that this receiver did not see (it started later, or more than `lives`
// lives ago) is taken as a restart; a datagram of an old life that arrives
// after a restart, and is not one of its first, is judged against the new
// life.  Neither happens on a link that only drops, duplicates and reorders
// within the window.
//
// Comparisons are modulo 2^32 (serial numbers), so the count may wrap.
//
// Thread-safety: an object belongs to one thread at a time.
#pragma once
#include <bitset>
#include <cstdint>

class authwindow {
  public:
    static constexpr uint32_t window = 1024;
    static constexpr uint32_t early = 64;
    static constexpr uint32_t lives = 4;

    enum result { FRESH, REORDERED, RESTART, REPLAY };

    result take(uint32_t authcount, uint32_t dgramseq, uint32_t bodycrc);

    uint32_t highest() const { return hi_; }

  private:
    void mark(uint32_t a, uint32_t bodycrc);
    void start(uint32_t a, uint32_t bodycrc);
    bool copyofearly(uint32_t a, uint32_t bodycrc) const;

    bool started_ = false;
    uint32_t hi_ = 0;
    std::bitset<window> seen_;  // bit a % window: a in (hi - window, hi] was taken
    // The first datagrams of the last lives: seen, and their body CRCs;
    // life_ is the current one.
    uint32_t life_ = 0;
    std::bitset<early + 1> earlyseen_[lives];
    uint32_t earlycrc_[lives][early + 1] = {};
};
