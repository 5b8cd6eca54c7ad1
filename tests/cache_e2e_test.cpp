// End-to-end tests of the local cache: the built Quorvane program against an
// IO server played by this test on loopback, through a power cut's torn
// cache file, a database slower than the IO server, and kills in the middle
// of a replay.  The program's wall clock is moved and runs ten times as fast
// (cache_e2e_clock, preloaded), so periods end and the replay starts within
// seconds.  Every wait is bounded (against hanging only).
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/env.h"
#include "cache/cachefile.h"
#include "cache/localcache.h"
#include "gtest/gtest.h"
#include "tests/harness.h"

namespace {

using namespace e2e;

constexpr int speed = 10;     // the program's clock runs this much faster
constexpr int64_t lead = 50;  // its seconds from start to the period's end
constexpr int64_t t0 = 1700000000000LL;

// Tag values in the whole blocks of the cache files of dir.
int cachedvalues(const fs::path& dir) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        cachefile rd(cachefile::modereader);
        rd.setdirectory(dir.string() + "/");
        int64_t stamp = cachefile::stampofname(e.path().filename().string());
        if (stamp <= 0 || rd.openread(stamp, nullptr) != 0) continue;
        zo::string b;
        tagvalarray a;
        for (int k; (k = rd.readblock(b, nullptr)) >= 0;)
            if (k == 0 && a.parse(b.data(), b.size())) n += static_cast<int>(a.items.size());
    }
    return n;
}

// Values i = from .. from + n - 1 at time t0 + i, named prefix and i (or i
// modulo tags: a plant's tags send again and again).
tagvalarray values(const std::string& prefix, int n, int from = 0, int tags = 1 << 30) {
    tagvalarray b;
    for (int i = from; i < from + n; ++i)
        b.items.append(intvalue(prefix + std::to_string(i % tags), i, t0 + i));
    return b;
}

// "count|distinct times|sum of values" of history, as for n values 0..n-1.
std::string distinctrows(int64_t n) {
    return std::to_string(n) + "|" + std::to_string(n) + "|" + std::to_string(n * (n - 1) / 2);
}
const char distinctsql[] = "SELECT COUNT(*), COUNT(DISTINCT time), SUM(value) FROM history";

class cachee2e : public qvtest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(prepare("db/rt.db", "cache"));
        cachedir = pd.dir() / "cache";
    }
    // A cache file written as the program would, at a moment of period.
    static void fill(const fs::path& dir, int64_t period,
                     const std::function<void(localcache&)>& f) {
        zo::fakeclockenv clock((period + 5) * 1000);
        zo::scopedenv scope(&clock);
        fs::create_directories(dir);
        localcache c;
        c.configure(dir.string(), 1000, 8);
        f(c);
        c.closewriter();
    }

    fs::path cachedir;
};

TEST_F(cachee2e, AnOutageAfterAPowerCutLosesOnlyTheTornBlock) {
    constexpr int outage = 240, pre = 300;
    int64_t period = cachefile::periodstamp(wallsec());
    const fs::path file = cachedir / ("ioch_" + std::to_string(period));
    // The run before the power cut: three batches whole, the fourth torn in
    // the middle of its block.
    uintmax_t whole = 0;
    fill(cachedir, period, [&](localcache& c) {
        for (int p = 0; p < 3; ++p) {
            tagvalarray b = values("pre." + std::to_string(p) + ".", pre / 3);
            c.puttagvals(&b);
        }
        c.closewriter();
        whole = fs::file_size(file);
        tagvalarray torn = values("torn.", 100);
        c.puttagvals(&torn);
    });
    fs::resize_file(file, whole + (fs::file_size(file) - whole) / 2);

    // The program starts again within that period.  The line says why the
    // database is away, so that an operator knows what to fix.
    spawn(speed, (period + 600 - lead) * 1000);
    login();
    ASSERT_TRUE(logsrv.waitfor("oxa " + dburl + " connect failed, status 60002, directory does " +
                               "not exist (" + (pd.dir() / "db").string() + ")."))
        << logsrv.dump();
    ASSERT_TRUE(logsrv.has("create local cache " + cachedir.string() + "/ success."))
        << logsrv.dump();
    for (int p = 0; p < outage / 40; ++p) {
        tagvalarray b = values("out.", 40, p * 40);
        ASSERT_TRUE(io.send(3202, b));
    }
    soearray soe;
    soerec* s = soe.items.emplace();
    s->f236 = "breaker.out";
    s->f230 = 77;
    ASSERT_TRUE(io.send(3210, soe));
    EXPECT_TRUE(draining([&] { return cachedvalues(cachedir) == pre + outage; }))
        << cachedvalues(cachedir);
    EXPECT_TRUE(sqlrows(dbpath, "SELECT name FROM history").empty());
    // All of it in the file of the period the program started in (else the
    // replay would wait for the next period's end).
    EXPECT_FALSE(fs::exists(cachedir / ("ioch_" + std::to_string(period + 600))));

    // The database comes; a live value goes straight in.  Once the period is
    // over, the cached file is inserted as history and deleted.
    fs::create_directories(pd.dir() / "db");
    waitdb();
    tagvalarray live = values("live.", 1);
    ASSERT_TRUE(io.send(3202, live));
    EXPECT_TRUE(draining([&] { return logsrv.has("insert history SOE records 1"); }))
        << logsrv.dump();
    EXPECT_TRUE(draining([&] {
        std::error_code ec;
        return fs::is_empty(cachedir, ec);
    }));
    EXPECT_TRUE(draining([&] {
        return sqlone(dbpath, "SELECT count(*) FROM history WHERE name GLOB 'out.*'") ==
               std::to_string(outage);
    }));
    ASSERT_NO_FATAL_FAILURE(stopdraining());

    // Every value of the outage exactly once, with its own value and time;
    // the values before the torn block too; nothing of the torn block.
    EXPECT_EQ(sqlrows(dbpath, std::string(distinctsql) + " WHERE name GLOB 'out.*'"),
              (std::vector<std::string>{distinctrows(outage)}));
    EXPECT_EQ(sqlone(dbpath, "SELECT count(*) FROM history WHERE name GLOB 'out.*' AND time - " +
                                 std::to_string(t0) + " = value"),
              std::to_string(outage));
    EXPECT_EQ(sqlone(dbpath, "SELECT count(*) FROM history WHERE name GLOB 'pre.*'"),
              std::to_string(pre));
    EXPECT_EQ(sqlone(dbpath, "SELECT count(*) FROM history WHERE name GLOB 'torn.*'"), "0");
    EXPECT_TRUE(logsrv.hassub("cache file " + file.string() + ": ")) << logsrv.dump();
    EXPECT_TRUE(logsrv.hassub(" bytes behind its last whole block at ")) << logsrv.dump();
    EXPECT_EQ(sqlrows(dbpath, "SELECT f236, f230 FROM soe"),
              (std::vector<std::string>{"breaker.out|77"}));
    EXPECT_EQ(sqlone(dbpath, "SELECT COUNT(*) FROM history WHERE name = 'live.0'"), "1");
}

// What the log says was not written: the values of every "dropped N tag
// values" line, of every ring overflow, and those already in history.
int64_t countedinlog(const std::vector<std::string>& lines) {
    static const std::regex counted(
        "^(dropped ([0-9]+) tag values .*|put chache full, lost one package records ([0-9]+)\\.|"
        "([0-9]+) tag values already in history .*)$");
    int64_t n = 0;
    std::smatch m;
    for (const std::string& l : lines) {
        if (!std::regex_match(l, m, counted)) continue;
        for (int g = 2; g <= 4; ++g) n += m[g].matched ? std::stoll(m[g].str()) : 0;
    }
    return n;
}

TEST_F(cachee2e, ADatabaseSlowerThanTheIoServerLosesNothing) {
    // A 1 MiB queue: the writer keeps at most 512 KB in flight, a few
    // thousand values, and a burst of many times that outruns the database.
    ASSERT_TRUE(pd.writeconfig("e2e.ini", dburl + "?queuebytes=1048576", cachedir.string()));
    fs::create_directories(pd.dir() / "db");
    constexpr int burst = 100000, perpackage = 200;
    spawn(speed, (cachefile::periodstamp(wallsec()) + 600 - 2 * lead) * 1000);
    login();
    dburl += "?queuebytes=1048576";
    waitdb();
    for (int p = 0; p < burst / perpackage; ++p) {
        tagvalarray b = values("burst.", perpackage, p * perpackage, 1000);
        ASSERT_TRUE(io.send(3202, b));
    }
    // Written at once, or cached and replayed after the period.
    EXPECT_TRUE(draining(
        [&] { return sqlone(dbpath, "SELECT COUNT(*) FROM history") == std::to_string(burst); },
        120000))
        << sqlone(dbpath, "SELECT COUNT(*) FROM history");
    ASSERT_NO_FATAL_FAILURE(stopdraining());
    // Every value once, each its own; the log counts no drop.
    EXPECT_EQ(sqlrows(dbpath, distinctsql), (std::vector<std::string>{distinctrows(burst)}));
    EXPECT_EQ(countedinlog(logsrv.lines()), 0) << logsrv.dump();
    EXPECT_FALSE(logsrv.hassub("error -4")) << logsrv.dump();
}

TEST_F(cachee2e, KilledAtRandomMomentsOfAReplayEveryValueLandsOnce) {
    constexpr int nvalues = 150000, soes = 40, kills = 5;
    fs::create_directories(pd.dir() / "db");
    int64_t period = cachefile::periodstamp(wallsec());
    int64_t old = period - 1200;
    // The cache file of a period long over.  The SOE block first: its write
    // waits for the database, the value blocks behind it are handed over
    // without waiting.
    fill(cachedir, old, [&](localcache& c) {
        soearray s;
        for (int i = 0; i < soes; ++i) {
            soerec* r = s.items.emplace();
            r->f230 = static_cast<uint64_t>(i);
            r->f236 = "breaker";
        }
        c.putsoes(&s);
        for (int p = 0; p < nvalues / 500; ++p) {
            tagvalarray b = values("k.", 500, p * 500, 2000);
            c.puttagvals(&b);
        }
    });
    std::string file = (cachedir / ("ioch_" + std::to_string(old))).string();
    ASSERT_TRUE(fs::exists(file));

    unsigned seed = static_cast<unsigned>(wallsec());
    std::mt19937 rng(seed);
    std::string seen;  // history rows at each kill
    for (int k = 0; k < kills && fs::exists(file); ++k) {
        size_t from = logsrv.lines().size();
        spawn(speed, (period + 30) * 1000);
        login();
        ASSERT_TRUE(draining([&] {
            return logsrv.findfrom("open cache file " + file + " success.", from) >= 0;
        })) << logsrv.dump();
        // Some moment of the replay, or just after it.
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 1500));
        prog.kill();
        seen += sqlone(dbpath, "SELECT COUNT(*) FROM history") + " ";
    }
    // A last run to the end of the replay.
    spawn(speed, (period + 30) * 1000);
    login();
    EXPECT_TRUE(draining([&] { return !fs::exists(file); }, 120000)) << logsrv.dump();
    ASSERT_NO_FATAL_FAILURE(stopdraining());
    RecordProperty("rows_at_kills", seen);
    EXPECT_EQ(sqlrows(dbpath, distinctsql), (std::vector<std::string>{distinctrows(nvalues)}))
        << "seed " << seed << ", rows at the kills: " << seen;
    EXPECT_EQ(sqlrows(dbpath, "SELECT COUNT(*), COUNT(DISTINCT f230) FROM soe"),
              (std::vector<std::string>{std::to_string(soes) + "|" + std::to_string(soes)}))
        << "seed " << seed;
}

}  // namespace
