// seqtrack.h - gaprx's count of datagrams lost, duplicated and reordered on
// the way, from the dgramseq of each datagram that passed the checks.
//
// A sequence number above the highest seen counts the numbers it skips as
// lost; one of those arriving later (within `window` of the highest) takes
// its number back from the lost count and counts as reordered; a number seen
// before counts as a duplicate.  A number further behind than the window
// cannot be told apart and changes nothing (the replay check refuses it
// anyway, so it stays lost).  The first number seen starts the count: what
// came before the receiver started is not counted.  restart() begins a new
// sender life whose numbers start again at 1, so the numbers before the
// first one of the new life count as lost.
//
// Comparisons are modulo 2^32 (serial numbers); 0 is not a sequence number
// (the sender goes from 0xFFFFFFFF to 1).
//
// Thread-safety: an object belongs to one thread at a time.
#pragma once
#include <bitset>
#include <cstdint>

class seqtrack {
  public:
    static constexpr uint32_t window = 1024;

    enum result { NEXT, GAP, LATE, DUP, TOOOLD };

    result take(uint32_t seq);
    // The sender started again; seq is its first number we received.
    void restart(uint32_t seq);

    uint64_t lost() const { return lost_; }
    uint64_t dups() const { return dups_; }
    uint64_t reordered() const { return reordered_; }
    uint32_t highest() const { return hi_; }

  private:
    bool started_ = false;
    uint32_t first_ = 0;  // numbers before it were never counted as lost
    uint32_t hi_ = 0;
    std::bitset<window> seen_;
    uint64_t lost_ = 0;
    uint64_t dups_ = 0;
    uint64_t reordered_ = 0;
};
