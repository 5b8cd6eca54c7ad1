#include "cache/cachefile.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cache/testenv_test.h"

namespace {

using namespace std::string_literals;
using cachetest::le16;
using cachetest::slurp;

constexpr int64_t t0 = 1700000400;  // 2023-11-14 22:20:00 UTC, a period start

std::string bytes(uint32_t n, uint32_t seed, bool random) {
    std::string s(n, 0);
    std::mt19937 rng(seed);
    for (uint32_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(random ? rng() : "compressible text "[i % 18]);
    return s;
}

// A body as the cache writes them: array entries (0x0A, length, bytes).
std::string entries(uint32_t count, uint32_t seed) {
    std::string s;
    for (uint32_t i = 0; i < count; ++i) {
        std::string e = bytes(20 + (seed + i) % 90, seed * 31 + i, i % 3 == 0);
        s += '\x0A';
        s += static_cast<char>(e.size());
        s += e;
    }
    return s;
}

class CacheFileTest : public cachetest::fixture {
  protected:
    CacheFileTest() : fixture(t0 + 5) {
        wr.setdirectory(dir.path);
        wr.setlog(&log);
    }
    int write(uint8_t kind, const std::string& b) {
        return wr.writeblock(kind, b.data(), static_cast<uint32_t>(b.size()));
    }

    cachefile wr{cachefile::modewriter};
};

// Bodies below 128 bytes are stored raw, from 128 on as LZ4; 65280 random
// bytes (the most a block takes), which LZ4 makes longer than a 16-bit
// bodylen can say, raw again.
TEST_F(CacheFileTest, BlocksAreRawOrLz4ByTheirSize) {
    const std::string a = bytes(127, 1, false), b = bytes(128, 2, false);
    const std::string r = bytes(65280, 4, true), s = bytes(60000, 5, true);
    for (const std::string* x : {&a, &b, &r, &s}) ASSERT_EQ(0, write(x == &b, *x));
    EXPECT_EQ(-1, wr.writeblock(0, r.data(), 65281));
    EXPECT_EQ(0, wr.writeblock(0, a.data(), 0));    // nothing to write: no block
    EXPECT_EQ(-1, rd.writeblock(0, a.data(), 10));  // a reader does not write
    cachefile nodir(cachefile::modewriter);
    EXPECT_EQ(-1, nodir.writeblock(0, a.data(), 10));
    const std::string f = slurp(pathof(t0));
    EXPECT_EQ(std::string("\x87\xD1\x00\x00\x7F\x00\x7F\x00", 8) + a, f.substr(0, 8 + 127));
    const size_t h = 8 + 127, bl = le16(f, h + 6), h3 = h + 8 + bl;
    EXPECT_EQ(std::string("\x87\xD1\x02\x01\x80\x00", 6), f.substr(h, 6));
    EXPECT_LT(bl, 128u);
    EXPECT_EQ(std::string("\x87\xD1\x00\x00\x00\xFF\x00\xFF", 8) + r, f.substr(h3, 8 + 65280));
    EXPECT_EQ(2, f[h3 + 8 + 65280 + 2]);
    EXPECT_EQ((std::vector<std::string>{a, "#" + b, r, s}), readall(t0));
    EXPECT_EQ(0u, rd.skippedbytes());  // nor an empty block behind them
}

// A write at hh:10:00 opens the next period's file (the store's tick closes
// the old one: cachemaint_test).
TEST_F(CacheFileTest, WritesAcrossTenMinuteBoundaryGoToTwoFiles) {
    EXPECT_EQ(-600, cachefile::periodstamp(-1));  // before 1970 too
    env.setsec(t0 + 599);
    ASSERT_EQ(0, write(0, "first"));
    env.setsec(t0 + 600);
    ASSERT_EQ(0, write(0, "second"));
    EXPECT_EQ(t0 + 600, wr.stamp());
    EXPECT_EQ((std::vector<std::string>{"first"}), readall(t0));
    EXPECT_EQ((std::vector<std::string>{"second"}), readall(t0 + 600));
}

// A power cut can end a file anywhere.  The reader gives the whole blocks
// before the cut; a writer of the same period after a restart cuts the torn
// bytes off before it appends, so the block it adds is read too.
TEST_F(CacheFileTest, CutAtEveryOffsetThenAppendsLosesOnlyTheTornBlock) {
    const std::vector<std::string> want = {entries(2, 6), "#" + entries(12, 7), entries(4, 8)};
    ASSERT_EQ(0, write(0, want[0]));
    ASSERT_EQ(0, write(1, want[1].substr(1)));
    ASSERT_EQ(0, write(0, want[2]));
    wr.closefile();
    const std::string whole = slurp(pathof(t0));
    ASSERT_EQ(2, whole[8 + le16(whole, 6) + 2]);  // the middle block is LZ4
    std::vector<size_t> ends;                     // offsets where a block ends
    for (size_t at = 0; at < whole.size(); at += 8 + le16(whole, at + 6)) ends.push_back(at);
    ends.erase(ends.begin());
    ends.push_back(whole.size());
    ASSERT_EQ(3u, ends.size());
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        dir.write("ioch_" + std::to_string(t0), whole.substr(0, cut));
        log.reset();
        size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= cut) ++complete;
        std::vector<std::string> got(want.begin(), want.begin() + complete);
        ASSERT_EQ(got, readall(t0));
        // A torn header is the normal end; a torn body is reported.
        const size_t start = complete ? ends[complete - 1] : 0;
        EXPECT_EQ(cut - start >= 8 ? 1 : 0, log.count("read block body error."));
        EXPECT_EQ(0, log.count(" blk error."));

        cachefile again(cachefile::modewriter);  // as after a restart
        again.setdirectory(dir.path);
        again.setlog(&log);
        ASSERT_EQ(0, again.writeblock(0, "after", 5));
        EXPECT_EQ(cut > start ? 1 : 0, log.count("bytes behind its last whole block at " +
                                                 std::to_string(start) + " cut before appending."));
        got.push_back("after");
        ASSERT_EQ(got, readall(t0));
        EXPECT_EQ(start + 8 + 5, slurp(pathof(t0)).size());
    }
}

// A spoiled block costs its own bytes only: the reader finds the next block
// that decodes and says how much it passed over.
TEST_F(CacheFileTest, DamagedBlockIsReportedPassedOverAndTheRestRead) {
    // The last block holds an entry of 200 bytes (a two-byte length), which
    // the search for the next good block must read right.
    const std::vector<std::string> want = {entries(3, 1), entries(50, 2), entries(40, 4), "abc",
                                           entries(5, 3) + "\x0A\xC8\x01" + bytes(200, 3, true)};
    for (const std::string& b : want) ASSERT_EQ(0, write(0, b));
    wr.closefile();
    const std::string good = slurp(pathof(t0));
    std::vector<size_t> at = {0};  // where each block starts
    for (int i = 0; i < 5; ++i) at.push_back(at.back() + 8 + le16(good, at.back() + 6));
    ASSERT_EQ(2, good[at[1] + 2]);  // an LZ4 block
    ASSERT_EQ(0, good[at[3] + 2]);  // a raw one
    struct {
        int block;
        size_t off;
        std::string value;
        const char* line;
    } cases[] = {
        // A spoilt magic, and in the damage a block that is no run of entries.
        {1, 0, "\0\0\0\0\0\0\0\0\x87\xD1\0\0\x06\0\x06\0\x0A\x03\x61\x62\x63\x05"s, " blk error."},
        {1, 4, "\0\0"s, " blk error."},                    // rawlen 0
        {1, 6, "\0\0"s, " blk error."},                    // bodylen 0
        {1, 7, "\x7F", " read block body error."},         // bodylen past the end
        {1, 2, "\x09", " unkown block body compress 9."},  // compress
        {1, 4, std::string(1, static_cast<char>((want[1].size() & 0xFF) ^ 1)),
         " lz4_decode block body error."},                    // rawlen one off
        {1, 8, "\xFF\xFF", " lz4_decode block body error."},  // LZ4 token
        {3, 4, "\x64", " blk error."},                        // raw rawlen longer than the body
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.block * 100 + c.off);
        std::string f = good;
        f.replace(at[c.block] + c.off, c.value.size(), c.value);
        dir.write("ioch_" + std::to_string(t0), f);
        log.reset();
        std::vector<std::string> rest = want;
        rest.erase(rest.begin() + c.block);
        EXPECT_TRUE(rest == readall(t0));
        const size_t skip = at[c.block + 1] - at[c.block];
        EXPECT_EQ(skip, rd.skippedbytes());
        EXPECT_EQ(1, log.count("10 cache file " + pathof(t0) + c.line));
        EXPECT_EQ(1, log.count("20 cache file " + pathof(t0) + ": " + std::to_string(skip) +
                               " bytes of damaged blocks passed over, resumed at offset " +
                               std::to_string(at[c.block + 1]) + "."));
    }
}

}  // namespace
