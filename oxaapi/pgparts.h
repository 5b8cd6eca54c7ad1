// pgparts.h - the time ranges of the partitions of history in PostgreSQL.
//
// history is range-partitioned on time (milliseconds since 1970 UTC).  A
// partition covers [lo, hi); new ones are aligned to the period (a whole
// number of days, counted from 1970-01-01 UTC) and clipped to the gap between
// existing ones, so a changed period or a partition made by hand never makes
// an overlap.  A partition is named history_YYYYMMDD after the UTC day of lo
// (with _HHMMSS when lo is not midnight, and history_tN for times outside the
// years 1970 to 9999).
//
// Thread-safety: a partplan belongs to one thread; the functions are pure.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace oxa {

constexpr int64_t daysms = 86400000;

struct partrange {
    int64_t lo = 0;
    int64_t hi = 0;
    std::string name;
};

// The name of a partition that starts at lo.
std::string partname(int64_t lo);

// Reads the bounds of pg_get_expr(relpartbound): "FOR VALUES FROM ('1') TO
// ('2')" (quotes optional); false for anything else (DEFAULT, MINVALUE).
bool parsebound(std::string_view text, int64_t* lo, int64_t* hi);

class partplan {
  public:
    void clear() { ranges_.clear(); }
    void add(int64_t lo, int64_t hi, std::string name);
    bool covers(int64_t t) const;
    // The range to create for a time no partition covers: the period around
    // t, cut to the free gap around it.  REQUIRES: t < INT64_MAX (upper
    // bounds are exclusive, so no range holds that one time).
    partrange plan(int64_t t, int64_t periodms) const;
    // Partitions whose every time is older than cutoff (hi <= cutoff).
    std::vector<partrange> before(int64_t cutoff) const;
    void remove(const std::string& name);
    size_t size() const { return ranges_.size(); }

  private:
    std::vector<partrange> ranges_;  // sorted by lo, never overlapping
    mutable size_t hint_ = 0;        // the range that covered the last time
};

}  // namespace oxa
