#include "oxaapi/pgparts.h"

#include <gtest/gtest.h>

#include <climits>

namespace oxa {
namespace {

constexpr int64_t day = daysms;
constexpr int64_t jan1 = 1893456000000LL;  // 2030-01-01 00:00 UTC

// A new partition never overlaps one that is there, whatever made it.
TEST(partplan, plansthealignedrangecuttothefreegap) {
    struct {
        const char* what;
        std::vector<std::pair<int64_t, int64_t>> have;
        int64_t t, period;
        int64_t lo, hi;
        const char* name;
    } cases[] = {
        // clang-format off
        // Weeks count from 1970-01-01, a Thursday; 2030-01-01 is a Tuesday.
        {"a week's period", {}, jan1 + 3 * day, 7 * day, jan1 + 2 * day, jan1 + 9 * day,
         "history_20300103"},
        {"between two days", {{jan1 - day, jan1}, {jan1 + day, jan1 + 2 * day}}, jan1 + 7, day,
         jan1, jan1 + day, "history_20300101"},
        {"after a partition made by hand that ends at noon", {{jan1 - day, jan1 + day / 2}},
         jan1 + day / 2 + 1, day, jan1 + day / 2, jan1 + day, "history_20300101_120000"},
        {"before one that starts at noon", {{jan1 + day / 2, jan1 + 3 * day}}, jan1, 7 * day,
         jan1 - 5 * day, jan1 + day / 2, "history_20291227"},
        {"the smallest time", {}, INT64_MIN, day, INT64_MIN, INT64_MIN / day * day,
         "history_tm9223372036854775808"},
        {"beyond the year 9999", {}, 253402300800000 + 5, day, 253402300800000,
         253402300800000 + day, "history_t253402300800000"},
        // clang-format on
    };
    for (const auto& c : cases) {
        partplan p;
        for (auto [lo, hi] : c.have) p.add(lo, hi, partname(lo));
        EXPECT_FALSE(p.covers(c.t)) << c.what;
        partrange r = p.plan(c.t, c.period);
        EXPECT_EQ(r.lo, c.lo) << c.what;
        EXPECT_EQ(r.hi, c.hi) << c.what;
        EXPECT_EQ(r.name, c.name) << c.what;
        EXPECT_TRUE(r.lo <= c.t && c.t < r.hi) << c.what;
        p.add(r.lo, r.hi, r.name);
        EXPECT_TRUE(p.covers(c.t) && p.covers(r.lo) && p.covers(r.hi - 1)) << c.what;
    }
}

TEST(partplan, readsboundsandlistswhatretentiondrops) {
    int64_t lo = 0, hi = 0;
    EXPECT_TRUE(parsebound("FOR VALUES FROM ('1893456000000') TO ('1893542400000')", &lo, &hi));
    EXPECT_EQ(lo, jan1);
    EXPECT_EQ(hi, jan1 + day);
    EXPECT_TRUE(parsebound("FOR VALUES FROM (-86400000) TO (0)", &lo, &hi));
    EXPECT_EQ(lo, -day);
    for (const char* bad :
         {"DEFAULT", "FOR VALUES FROM (MINVALUE) TO ('5')", "FOR VALUES FROM ('5') TO ('5')",
          "FOR VALUES FROM ('1') TO ('2') x", "FOR VALUES FROM ('99999999999999999999') TO ('1')"})
        EXPECT_FALSE(parsebound(bad, &lo, &hi)) << bad;

    partplan p;
    for (int i = 0; i < 4; ++i)
        p.add(jan1 + i * day, jan1 + (i + 1) * day, partname(jan1 + i * day));
    auto old = p.before(jan1 + 2 * day);
    ASSERT_EQ(old.size(), 2u);  // a partition goes only when all of it is older
    EXPECT_EQ(old[1].name, "history_20300102");
    p.remove("history_20300101");
    EXPECT_FALSE(p.covers(jan1));
    EXPECT_TRUE(p.covers(jan1 + day));
}

}  // namespace
}  // namespace oxa
