#include "cache/cachefile.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cache/testenv_test.h"

namespace {

using cachetest::reclog;
using cachetest::slurp;
using cachetest::spit;
using cachetest::testenv;
using cachetest::tmpdir;

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

uint32_t le16(const std::string& f, size_t off) {
    return static_cast<uint8_t>(f[off]) | (static_cast<uint8_t>(f[off + 1]) << 8);
}

class CacheFileTest : public ::testing::Test {
  protected:
    CacheFileTest() : env(t0 + 5), scope(&env) {
        wr.setdirectory(dir.path);
        wr.setlog(&log);
        rd.setdirectory(dir.path);
    }
    std::string pathof(int64_t stamp) { return dir.path + "ioch_" + std::to_string(stamp); }
    int write(uint8_t kind, const std::string& b) {
        return wr.writeblock(kind, b.data(), static_cast<uint32_t>(b.size()));
    }
    // Reads every block of the file of stamp; the kinds and bodies, in order.
    std::vector<std::pair<int, std::string>> readall(int64_t stamp) {
        std::vector<std::pair<int, std::string>> out;
        EXPECT_EQ(0, rd.openread(stamp, &log));
        zo::string b;
        for (int k; (k = rd.readblock(b, &log)) >= 0;) out.emplace_back(k, std::string(b.view()));
        return out;
    }

    tmpdir dir;
    testenv env;
    zo::scopedenv scope;
    reclog log;
    cachefile wr{cachefile::modewriter};
    cachefile rd{cachefile::modereader};
};

TEST_F(CacheFileTest, NamesAndPeriodStamps) {
    zo::string n;
    ASSERT_TRUE(cachefile::filename(1700000400, n));
    EXPECT_EQ(n.view(), "ioch_1700000400");
    EXPECT_EQ(1700000400, cachefile::periodstamp(1700000400));
    EXPECT_EQ(1700000400, cachefile::periodstamp(1700000999));
    EXPECT_EQ(1700001000, cachefile::periodstamp(1700001000));
    EXPECT_EQ(0, cachefile::periodstamp(599));
    EXPECT_EQ(-600, cachefile::periodstamp(-1));
}

TEST_F(CacheFileTest, SmallBodiesRawFromOneHundredTwentyEightLz4) {
    std::string a = bytes(127, 1, false), b = bytes(128, 2, false);
    ASSERT_EQ(0, write(0, a));
    ASSERT_EQ(0, write(1, b));
    std::string f = slurp(pathof(t0));
    // Header of the first block: magic, compress 0, kind 0, rawlen = bodylen = 127.
    ASSERT_GE(f.size(), 8u + 127u + 8u);
    EXPECT_EQ(0x87, static_cast<uint8_t>(f[0]));
    EXPECT_EQ(0xD1, static_cast<uint8_t>(f[1]));
    EXPECT_EQ(0, f[2]);
    EXPECT_EQ(0, f[3]);
    EXPECT_EQ(127u, le16(f, 4));
    EXPECT_EQ(127u, le16(f, 6));
    EXPECT_EQ(a, f.substr(8, 127));
    size_t h = 8 + 127;
    EXPECT_EQ(2, f[h + 2]);
    EXPECT_EQ(1, f[h + 3]);
    EXPECT_EQ(128u, le16(f, h + 4));
    EXPECT_EQ(f.size() - h - 8, le16(f, h + 6));
    EXPECT_LT(le16(f, h + 6), 128u);

    auto blocks = readall(t0);
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(0, blocks[0].first);
    EXPECT_EQ(a, blocks[0].second);
    EXPECT_EQ(1, blocks[1].first);
    EXPECT_EQ(b, blocks[1].second);
    EXPECT_EQ(1, log.count("open cache file " + pathof(t0) + " success."));
}

TEST_F(CacheFileTest, LengthLimitsAndNothingToWrite) {
    std::string big = bytes(65281, 3, false);
    EXPECT_EQ(-1, wr.writeblock(0, big.data(), 65281));
    EXPECT_EQ(0, wr.writeblock(0, big.data(), 65280));
    EXPECT_EQ(0, wr.writeblock(0, nullptr, 0));
    EXPECT_EQ(0, wr.writeblock(0, big.data(), 0));
    auto blocks = readall(t0);
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(big.substr(0, 65280), blocks[0].second);

    cachefile nodir(cachefile::modewriter);
    EXPECT_EQ(-1, nodir.writeblock(0, big.data(), 10));
    EXPECT_EQ(-1, rd.writeblock(0, big.data(), 10));  // a reader does not write
    zo::string out;
    EXPECT_EQ(-1, wr.openread(t0, &log));
    EXPECT_EQ(-1, wr.readblock(out, &log));
}

TEST_F(CacheFileTest, IncompressibleFullBlockIsStoredRaw) {
    // LZ4 makes 65280 random bytes longer than a 16-bit bodylen can say.
    std::string r = bytes(65280, 4, true);
    ASSERT_EQ(0, write(0, r));
    std::string f = slurp(pathof(t0));
    ASSERT_EQ(8u + 65280u, f.size());
    EXPECT_EQ(0, f[2]);
    EXPECT_EQ(65280u, le16(f, 4));
    EXPECT_EQ(65280u, le16(f, 6));
    auto blocks = readall(t0);
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(r, blocks[0].second);
    // Somewhat smaller random data still fits as LZ4 and is kept compressed.
    std::string s = bytes(60000, 5, true);
    ASSERT_EQ(0, write(0, s));
    EXPECT_EQ(2, slurp(pathof(t0))[8 + 65280 + 2]);
}

TEST_F(CacheFileTest, WritesAcrossTenMinuteBoundaryGoToTwoFiles) {
    env.setsec(t0 + 599);  // hh:09:59
    ASSERT_EQ(0, write(0, "first"));
    EXPECT_EQ(t0, wr.stamp());
    EXPECT_TRUE(wr.isopen());
    env.setsec(t0 + 600);  // hh:10:00
    ASSERT_EQ(0, write(0, "second"));
    EXPECT_EQ(t0 + 600, wr.stamp());
    auto one = readall(t0);
    auto two = readall(t0 + 600);
    ASSERT_EQ(1u, one.size());
    ASSERT_EQ(1u, two.size());
    EXPECT_EQ("first", one[0].second);
    EXPECT_EQ("second", two[0].second);
    // The first file is not reopened when its period comes up again (a clock
    // step back), and the second is closed by a call without data.
    env.setsec(t0 + 1200);
    EXPECT_EQ(0, wr.writeblock(0, nullptr, 0));
    EXPECT_FALSE(wr.isopen());
    EXPECT_EQ(0, log.count("failed"));
}

TEST_F(CacheFileTest, RestartWithinPeriodAppendsToItsFile) {
    ASSERT_EQ(0, write(0, "before"));
    {
        cachefile again(cachefile::modewriter);
        again.setdirectory(dir.path);
        ASSERT_EQ(0, again.writeblock(0, "after", 5));
    }
    auto blocks = readall(t0);
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ("before", blocks[0].second);
    EXPECT_EQ("after", blocks[1].second);
}

// A power cut can end a file anywhere.  The reader gives the whole blocks
// before the cut; a writer of the same period after a restart cuts the torn
// bytes off before it appends, so the blocks it adds are read too.
TEST_F(CacheFileTest, CutAtEveryOffsetThenAppendsLosesOnlyTheTornBlock) {
    const std::vector<std::string> want = {entries(2, 6), entries(60, 7), entries(4, 8)};
    ASSERT_EQ(0, write(0, want[0]));
    ASSERT_EQ(0, write(1, want[1]));
    ASSERT_EQ(0, write(0, want[2]));
    wr.closefile();
    const std::string whole = slurp(pathof(t0));
    std::vector<size_t> ends;  // offsets where a block ends
    for (size_t at = 0; at < whole.size(); at += 8 + le16(whole, at + 6)) ends.push_back(at);
    ends.erase(ends.begin());
    ends.push_back(whole.size());
    ASSERT_EQ(3u, ends.size());
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        spit(pathof(t0), whole.substr(0, cut));
        log.reset();
        auto blocks = readall(t0);
        size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= cut) ++complete;
        ASSERT_EQ(complete, blocks.size());
        for (size_t i = 0; i < complete; ++i) EXPECT_EQ(want[i], blocks[i].second);
        // A torn header is the normal end; a torn body is reported.
        size_t start = complete ? ends[complete - 1] : 0;
        EXPECT_EQ(cut - start >= 8 ? 1 : 0, log.count("read block body error."));
        EXPECT_EQ(0, log.count(" blk error."));

        cachefile again(cachefile::modewriter);
        again.setdirectory(dir.path);
        again.setlog(&log);
        ASSERT_EQ(0, again.writeblock(0, "after", 5));
        ASSERT_EQ(0, again.writeblock(1, "restart", 7));
        again.closefile();
        EXPECT_EQ(cut > start ? 1 : 0, log.count("bytes behind its last whole block at " +
                                                 std::to_string(start) + " cut before appending."));
        blocks = readall(t0);
        ASSERT_EQ(complete + 2, blocks.size());
        EXPECT_EQ("after", blocks[complete].second);
        EXPECT_EQ("restart", blocks[complete + 1].second);
        EXPECT_EQ(start + 8 + 5 + 8 + 7, slurp(pathof(t0)).size());
    }
}

// A block spoiled in the middle of a file costs its own bytes only: the
// reader finds the next block that decodes and says how much it passed over.
TEST_F(CacheFileTest, DamagedBlockInTheMiddleIsPassedOverAndTheRestRead) {
    const std::vector<std::string> want = {entries(3, 1), entries(50, 2), entries(5, 3),
                                           entries(40, 4)};
    for (const std::string& b : want) ASSERT_EQ(0, write(0, b));
    wr.closefile();
    const std::string good = slurp(pathof(t0));
    const size_t second = 8 + le16(good, 6);
    const size_t third = second + 8 + le16(good, second + 6);
    ASSERT_EQ(2, good[second + 2]);  // the spoiled block is an LZ4 one
    struct {
        const char* what;
        size_t at;
        uint8_t value;
        const char* line;
    } cases[] = {
        {"magic", second, 0x00, " blk error."},
        {"bodylen", second + 7, 0x7F, " read block body error."},
        {"compress", second + 2, 9, " unkown block body compress 9."},
        {"LZ4 token", second + 8, 0xFF, " lz4_decode block body error."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string f = good;
        f[c.at] = static_cast<char>(c.value);
        spit(pathof(t0), f);
        log.reset();
        auto blocks = readall(t0);
        ASSERT_EQ(3u, blocks.size());
        EXPECT_EQ(want[0], blocks[0].second);
        EXPECT_EQ(want[2], blocks[1].second);
        EXPECT_EQ(want[3], blocks[2].second);
        EXPECT_EQ(third - second, rd.skippedbytes());
        EXPECT_EQ(1, log.count("10 cache file " + pathof(t0) + c.line));
        EXPECT_EQ(1,
                  log.count("20 cache file " + pathof(t0) + ": " + std::to_string(third - second) +
                            " bytes of damaged blocks passed over, resumed at offset " +
                            std::to_string(third) + "."));
    }
}

TEST_F(CacheFileTest, DamagedHeadersAndBodiesAreReportedNotTrusted) {
    ASSERT_EQ(0, write(0, bytes(200, 9, false)));
    wr.closefile();
    const std::string good = slurp(pathof(t0));
    auto expectfirst = [&](std::string f, const std::string& line) {
        spit(pathof(t0), f);
        log.reset();
        ASSERT_EQ(0, rd.openread(t0, &log));
        zo::string out;
        EXPECT_EQ(-1, rd.readblock(out, &log));
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(1, log.count("cache file " + pathof(t0) + line)) << line;
    };
    std::string f = good;
    f[0] = 0x00;  // any other first two bytes than 0x87 0xD1
    expectfirst(f, " blk error.");
    f = good;
    f[4] = f[5] = 0;  // rawlen 0
    expectfirst(f, " blk error.");
    f = good;
    f[6] = f[7] = 0;  // bodylen 0
    expectfirst(f, " blk error.");
    f = good;
    f[2] = 5;
    expectfirst(f, " unkown block body compress 5.");
    f = good;
    f[4] = static_cast<char>(201);  // the body decodes to 200 bytes
    expectfirst(f, " lz4_decode block body error.");
    f = good;
    f[8] = static_cast<char>(0xFF);  // a corrupt LZ4 token
    f[9] = static_cast<char>(0xFF);
    expectfirst(f, " lz4_decode block body error.");
    // A raw block whose rawlen claims more than its body carries.
    ASSERT_EQ(0, std::remove(pathof(t0).c_str()));
    cachefile w2(cachefile::modewriter);
    w2.setdirectory(dir.path);
    ASSERT_EQ(0, w2.writeblock(0, "abc", 3));
    w2.closefile();
    f = slurp(pathof(t0));
    f[4] = 100;
    expectfirst(f, " blk error.");
}

TEST_F(CacheFileTest, DeleteRemovesFileEvenAfterFailedOpen) {
    ASSERT_EQ(0, write(0, "x"));
    wr.closefile();
    env.failread.insert(pathof(t0));
    EXPECT_EQ(-1, rd.openread(t0, &log));
    EXPECT_EQ(1, log.count("10 open cache file " + pathof(t0) + " failed."));
    EXPECT_EQ(pathof(t0), std::string(rd.path().view()));
    rd.remove(&log);
    EXPECT_FALSE(cachetest::exists(pathof(t0)));
    EXPECT_EQ(1, log.count("30 delete local cache file " + pathof(t0) + " success"));
    EXPECT_TRUE(rd.path().empty());
    // Nothing to remove any more: no line at all.
    rd.remove(&log);
    EXPECT_EQ(1, log.count("delete local cache file"));
    // A missing file: open fails, the removal is reported as failed.
    EXPECT_EQ(-1, rd.openread(t0 + 600, &log));
    rd.remove(&log);
    EXPECT_EQ(1, log.count("delete local cache file " + pathof(t0 + 600) + " failed"));
}

TEST_F(CacheFileTest, FullDiskFailsWritesWithoutCrash) {
    ASSERT_EQ(0, write(0, "kept"));
    wr.closefile();
    env.diskfull = true;
    env.tornbytes = 5;  // the first failing write leaves part of a header
    for (int i = 0; i < 5; ++i) EXPECT_EQ(-1, write(0, "lost"));
    EXPECT_EQ(5u, wr.writefailures());
    EXPECT_EQ(1, log.count("write cache file " + pathof(t0) + " failed"));
    // Room again: writing resumes behind the last whole block (the torn
    // bytes of the failed append were cut off again).
    env.diskfull = false;
    wr.closefile();
    ASSERT_EQ(0, write(0, "later"));
    auto blocks = readall(t0);
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ("kept", blocks[0].second);
    EXPECT_EQ("later", blocks[1].second);

    // A directory that is gone: the open fails, is counted and logged once.
    env.failopenappend = true;
    wr.closefile();
    EXPECT_EQ(-1, write(0, "gone"));
    EXPECT_EQ(-1, write(0, "gone"));
    EXPECT_EQ(7u, wr.writefailures());
    EXPECT_EQ(1, log.count("for writing failed"));
}

}  // namespace
