// The replay window and the gap counts, as tables of arrivals: (authcount,
// dgramseq, body CRC) in, the verdicts and counts out.  Our sender gives a
// datagram the same dgramseq and authcount, so most rows use one number.
#include "tools/gaprx/authwindow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/gaprx/seqtrack.h"

namespace {

struct arrival {
    uint32_t a;
    uint32_t seq;
    uint32_t crc;
};

// F fresh, R reordered, S restart, X replay.
std::string run(const std::vector<arrival>& in, seqtrack* s) {
    authwindow w;
    std::string out;
    for (const arrival& x : in) {
        authwindow::result r = w.take(x.a, x.seq, x.crc);
        out += "FRSX"[r];
        if (r == authwindow::RESTART) {
            s->restart(x.seq);
        } else {
            s->take(x.seq);
        }
    }
    return out;
}

std::vector<arrival> same(std::initializer_list<uint32_t> l) {
    std::vector<arrival> v;
    for (uint32_t n : l) v.push_back({n, n, n * 7});
    return v;
}

TEST(authwindowtest, EachDatagramIsTakenOnceAndRestartsAreTold) {
    std::vector<arrival> far;
    for (uint32_t n = 1; n <= 2000; ++n) far.push_back({n, n, n});
    far.push_back({5, 5, 5});   // a copy of an early one: a replay
    far.push_back({5, 5, 99});  // a new life's fifth datagram
    far.push_back({6, 6, 100});
    std::string farwant(2000, 'F');
    farwant += "XSF";
    std::vector<arrival> at64(far.begin(), far.begin() + 2000);
    at64.push_back({64, 64, 1});  // a new life, seen first at its last early datagram
    at64.push_back({65, 65, 2});
    std::vector<arrival> late = far;
    late.resize(1500);
    late.push_back({400, 400, 400});  // behind the window and not early: a replay

    struct row {
        const char* what;
        std::vector<arrival> in;
        std::string want;
        uint64_t lost, dup, reordered;
    };
    // clang-format off
    const row rows[] = {
        {"in order", same({1, 2, 3}), "FFF", 0, 0, 0},
        {"a duplicate", same({1, 2, 2, 3}), "FFXF", 0, 1, 0},
        {"reordered", same({1, 3, 2, 4}), "FFRF", 0, 0, 1},
        {"lost", same({1, 2, 5, 6}), "FFFF", 2, 0, 0},
        {"lost, then one comes late", same({1, 4, 2}), "FFR", 1, 0, 1},
        {"wraps", {{0xFFFFFFFE, 0xFFFFFFFE, 1}, {0xFFFFFFFF, 0xFFFFFFFF, 2}, {0, 1, 3}, {1, 2, 4}},
         "FFFF", 0, 0, 0},
        {"restart after a long life", far, farwant, 4, 0, 0},
        {"restart after a short life", {{1, 1, 10}, {2, 2, 11}, {3, 3, 12}, {1, 1, 20}, {2, 2, 21}},
         "FFFSF", 0, 0, 0},
        {"a copy of the first datagram is no restart", {{1, 1, 10}, {2, 2, 11}, {1, 1, 10}},
         "FFX", 0, 1, 0},
        {"nor one of the life before", {{1, 1, 10}, {2, 2, 11}, {1, 1, 20}, {1, 1, 10}},
         "FFSX", 0, 1, 0},
        {"behind the window", late, std::string(1500, 'F') + "X", 0, 0, 0},
        {"a new life first seen at its 64th datagram", at64, std::string(2000, 'F') + "SF", 63, 0, 0},
    };
    // clang-format on
    for (const row& r : rows) {
        seqtrack s;
        EXPECT_EQ(r.want, run(r.in, &s)) << r.what;
        EXPECT_EQ(r.lost, s.lost()) << r.what;
        EXPECT_EQ(r.dup, s.dups()) << r.what;
        EXPECT_EQ(r.reordered, s.reordered()) << r.what;
    }
}

}  // namespace
