// End-to-end tests of the local cache: the built Quorvane program (ZO_BIN)
// runs as a child process against an IO server played by this test on
// loopback.
//  - An outage: the database directory does not exist at start, so the
//    values sent meanwhile go to the cache; once the directory is made the
//    database connects, and the cached values reach history through the
//    replay, each exactly once.
//  - A database slower than the IO server: its queue is small (the URL's
//    queuebytes), and a burst of values at full speed outruns it; what the
//    writer cannot hand over goes to the cache and is replayed, so history
//    plus the drops counted in the log is every value sent, and nothing is
//    dropped.
//  - Kills: the program is killed (SIGKILL) at random moments of the replay
//    of a large cache file and started again; at the end every value of the
//    file is in history exactly once.
//
// The program's wall clock is moved and runs ten times as fast
// (cache_e2e_clock, preloaded), so periods end and the replay starts within
// seconds.  Every wait is bounded (against hanging only); nothing asserts
// how long anything took.
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
constexpr int outagevalues = 240;

// Tag values and SOE records in the cache files of dir.
void countcached(const fs::path& dir, int* vals, int* soes) {
    *vals = *soes = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("ioch_", 0) != 0) continue;
        cachefile rd(cachefile::modereader);
        rd.setdirectory(dir.string() + "/");
        if (rd.openread(std::strtoll(name.c_str() + 5, nullptr, 10), nullptr) != 0) continue;
        zo::string b;
        for (int k; (k = rd.readblock(b, nullptr)) >= 0;) {
            if (k == 0) {
                tagvalarray a;
                if (a.parse(b.data(), b.size())) *vals += static_cast<int>(a.items.size());
            } else if (k == 1) {
                soearray a;
                if (a.parse(b.data(), b.size())) *soes += static_cast<int>(a.items.size());
            }
        }
    }
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
        for (int g = 2; g <= 4; ++g)
            if (m[g].matched) n += std::stoll(m[g].str());
    }
    return n;
}

int64_t nowsec() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class cachee2e : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(pd.make("cache_e2e_", &err)) << err;
        cachedir = pd.dir() / "cache";
        dbpath = (pd.dir() / "db" / "rt.db").string();
        dburl = "sqlite://localhost" + dbpath;
        ASSERT_TRUE(pd.writeconfig("e2e.ini", dburl, cachedir.string()));
        ASSERT_TRUE(logsrv.ok());
        ASSERT_GT(io.port(), 0);
        inst = uniquename("ce");
    }

    void spawn(int64_t startms) {
        runopts o;
        o.out = runopts::discard;
        o.clockstartms = startms;
        o.clockspeed = speed;
        ASSERT_TRUE(
            prog.start(pd.program(), {ipcurl(io.port()), logsrv.url(), inst, "e2e.ini", "dbg"}, o));
    }

    void login() {
        ASSERT_TRUE(io.acceptlogin()) << logsrv.dump();
        ASSERT_TRUE(io.answerlogin());
        EXPECT_TRUE(logsrv.waitfor("login io-server success.")) << logsrv.dump();
    }

    // Polls cond (while draining the program's packages and log lines) for
    // at most maxms.
    bool waitdraining(const std::function<bool()>& cond, int maxms = 30000) {
        return until(cond, maxms, [this] {
            io.drain();
            logsrv.receive(20);
        });
    }

    progdir pd;
    fs::path cachedir;
    std::string dbpath, dburl, inst;
    udpsink logsrv;
    ioserver io;
    child prog;
};

TEST_F(cachee2e, ValuesOfAnOutageReachHistoryExactlyOnce) {
    int64_t period = cachefile::periodstamp(nowsec());
    spawn((period + 600 - lead) * 1000);
    login();
    // The line says why, so that an operator knows what to fix.
    ASSERT_TRUE(logsrv.waitfor("oxa " + dburl + " connect failed, status 60002, directory does " +
                               "not exist (" + (pd.dir() / "db").string() + ")."))
        << logsrv.dump();
    ASSERT_TRUE(logsrv.has("create local cache " + cachedir.string() + "/ success."))
        << logsrv.dump();

    // The outage: tag values in several packages, and an SOE record.
    int64_t t = 1700000000000LL;
    for (int p = 0; p < outagevalues / 40; ++p) {
        tagvalarray b;
        for (int i = p * 40; i < (p + 1) * 40; ++i)
            b.items.append(intvalue("out." + std::to_string(i), i, t + i));
        ASSERT_TRUE(io.send(3202, b));
    }
    soearray soe;
    soerec* s = soe.items.emplace();
    ASSERT_NE(s, nullptr);
    s->f236 = "breaker.out";
    s->f230 = 77;
    ASSERT_TRUE(io.send(3210, soe));
    int vals = 0, soes = 0;
    EXPECT_TRUE(waitdraining([&] {
        countcached(cachedir, &vals, &soes);
        return vals == outagevalues && soes == 1;
    })) << vals
        << " " << soes;
    EXPECT_TRUE(sqlrows(dbpath, "SELECT name FROM history").empty());
    // All of it in the file of the period the program started in (else the
    // replay would wait for the next period's end).
    EXPECT_TRUE(fs::exists(cachedir / ("ioch_" + std::to_string(period))));
    EXPECT_FALSE(fs::exists(cachedir / ("ioch_" + std::to_string(period + 600))));

    // The database comes; a live value goes straight in.
    fs::create_directories(pd.dir() / "db");
    ASSERT_TRUE(logsrv.waitfor("oxa " + dburl + " connected success.")) << logsrv.dump();
    tagvalarray live;
    live.items.append(intvalue("live.1", 1, t));
    ASSERT_TRUE(io.send(3202, live));

    // The replay: once the period is over, the cached file is inserted as
    // history and deleted.
    EXPECT_TRUE(waitdraining([&] { return logsrv.has("insert history SOE records 1"); }))
        << logsrv.dump();
    EXPECT_TRUE(logsrv.has("insert history tagval records " + std::to_string(outagevalues)))
        << logsrv.dump();
    EXPECT_TRUE(waitdraining([&] {
        std::error_code ec;
        return fs::is_empty(cachedir, ec);
    }));
    EXPECT_TRUE(waitdraining([&] {
        return sqlrows(dbpath, "SELECT name FROM history WHERE name GLOB 'out.*'").size() >=
               static_cast<size_t>(outagevalues);
    }));

    ASSERT_EQ(::kill(prog.pid, SIGTERM), 0);
    ASSERT_TRUE(waitdraining([&] { return !prog.alive(); })) << logsrv.dump();
    EXPECT_TRUE(prog.exitedzero());

    // Every value of the outage exactly once, with its own value and time.
    std::vector<std::string> hist =
        sqlrows(dbpath,
                "SELECT name, COUNT(*), MIN(value), MIN(time) FROM history WHERE name GLOB "
                "'out.*' GROUP BY name");
    ASSERT_EQ(hist.size(), static_cast<size_t>(outagevalues));
    std::map<std::string, std::string> byname;
    for (const auto& r : hist) byname[r.substr(0, r.find('|'))] = r.substr(r.find('|') + 1);
    for (int i = 0; i < outagevalues; ++i) {
        std::string n = "out." + std::to_string(i);
        EXPECT_EQ(byname[n].substr(0, byname[n].find('|', byname[n].find('|') + 1)),
                  "1|" + std::to_string(i))
            << n;
    }
    EXPECT_EQ(sqlrows(dbpath, "SELECT f236, f230 FROM soe"),
              (std::vector<std::string>{"breaker.out|77"}));
    EXPECT_EQ(sqlrows(dbpath, "SELECT COUNT(*) FROM history WHERE name = 'live.1'"),
              (std::vector<std::string>{"1"}));
}

// A power cut left a torn block at the end of the current period's file; the
// program starts again within that period and caches more values behind it.
// It cuts the torn block off before appending, so the replay brings every
// value before and behind it into history; only the torn block is lost.
TEST_F(cachee2e, TornBlockFromBeforeARestartHidesNothingBehindIt) {
    constexpr int perpkg = 1000;
    int64_t period = cachefile::periodstamp(nowsec());
    auto values = [&](const std::string& prefix) {
        tagvalarray b;
        for (int i = 0; i < perpkg; ++i)
            b.items.append(intvalue(prefix + std::to_string(i), i, 1700000000000LL + i));
        return b;
    };
    const fs::path file = cachedir / ("ioch_" + std::to_string(period));
    {
        // The run before the power cut: three batches whole, the fourth torn
        // in the middle of its block.
        zo::fakeclockenv clock((period + 5) * 1000);
        zo::scopedenv scope(&clock);
        fs::create_directories(cachedir);
        localcache before;
        before.configure(cachedir.string(), 1000, 8);
        for (int p = 0; p < 3; ++p) {
            tagvalarray b = values("pre." + std::to_string(p) + ".");
            before.puttagvals(&b);
        }
        before.closewriter();
        uintmax_t whole = fs::file_size(file);
        tagvalarray torn = values("torn.");
        before.puttagvals(&torn);
        before.closewriter();
        fs::resize_file(file, whole + (fs::file_size(file) - whole) / 2);
    }

    spawn((period + 600 - lead) * 1000);
    login();
    ASSERT_TRUE(logsrv.waitfor("oxa " + dburl + " connect failed, status 60002, directory does " +
                               "not exist (" + (pd.dir() / "db").string() + ")."))
        << logsrv.dump();
    for (int p = 0; p < 3; ++p) {
        tagvalarray b = values("post." + std::to_string(p) + ".");
        ASSERT_TRUE(io.send(3202, b));
    }
    int vals = 0, soes = 0;
    waitdraining([&] {
        countcached(cachedir, &vals, &soes);
        return vals >= 6 * perpkg;
    });

    fs::create_directories(pd.dir() / "db");
    ASSERT_TRUE(waitdraining([&] {
        std::error_code ec;
        return logsrv.hassub("delete local cache file " + file.string()) || !fs::exists(file, ec);
    })) << logsrv.dump();
    std::string pre, post;
    waitdraining([&] {
        pre = sqlone(dbpath, "SELECT count(*) FROM history WHERE name GLOB 'pre.*'");
        post = sqlone(dbpath, "SELECT count(*) FROM history WHERE name GLOB 'post.*'");
        return pre == std::to_string(3 * perpkg) && post == std::to_string(3 * perpkg);
    });
    RecordProperty("values_before_the_cut", 3 * perpkg);
    RecordProperty("values_after_the_restart", 3 * perpkg);
    RecordProperty("recovered", std::atoi(pre.c_str()) + std::atoi(post.c_str()));
    EXPECT_EQ(pre, std::to_string(3 * perpkg)) << logsrv.dump();
    EXPECT_EQ(post, std::to_string(3 * perpkg)) << logsrv.dump();
    EXPECT_EQ(sqlone(dbpath, "SELECT count(*) FROM history WHERE name GLOB 'torn.*'"), "0");
    EXPECT_TRUE(logsrv.hassub("cache file " + file.string() + ": ")) << logsrv.dump();
    EXPECT_TRUE(logsrv.hassub(" bytes behind its last whole block at ")) << logsrv.dump();
    ASSERT_TRUE(prog.stop()) << logsrv.dump();
}

TEST_F(cachee2e, ADatabaseSlowerThanTheIoServerLosesNothing) {
    // A 1 MiB queue: the writer keeps at most 512 KB in flight, a few
    // thousand values, and a burst of many times that outruns the database.
    ASSERT_TRUE(pd.writeconfig("e2e.ini", dburl + "?queuebytes=1048576", cachedir.string()));
    fs::create_directories(pd.dir() / "db");
    constexpr int burst = 100000;
    constexpr int perpackage = 200;
    int64_t period = cachefile::periodstamp(nowsec());
    spawn((period + 600 - 2 * lead) * 1000);
    login();
    ASSERT_TRUE(logsrv.waitfor("oxa " + dburl + "?queuebytes=1048576 connected success."))
        << logsrv.dump();

    int64_t t = 1700000000000LL;
    for (int p = 0; p < burst / perpackage; ++p) {
        tagvalarray b;
        for (int i = p * perpackage; i < (p + 1) * perpackage; ++i)
            b.items.append(intvalue("burst." + std::to_string(i % 1000), i, t + i));
        ASSERT_TRUE(io.send(3202, b));
    }
    // Written at once, or cached and replayed after the period.
    EXPECT_TRUE(waitdraining(
        [&] { return sqlone(dbpath, "SELECT COUNT(*) FROM history") == std::to_string(burst); },
        120000))
        << sqlone(dbpath, "SELECT COUNT(*) FROM history");
    ASSERT_EQ(::kill(prog.pid, SIGTERM), 0);
    ASSERT_TRUE(waitdraining([&] { return !prog.alive(); })) << logsrv.dump();
    EXPECT_TRUE(prog.exitedzero());

    // Every value once, each its own; the log counts no drop.
    EXPECT_EQ(sqlrows(dbpath, "SELECT COUNT(*), COUNT(DISTINCT time), SUM(value) FROM history"),
              (std::vector<std::string>{std::to_string(burst) + "|" + std::to_string(burst) + "|" +
                                        std::to_string(int64_t{burst} * (burst - 1) / 2)}));
    EXPECT_EQ(countedinlog(logsrv.lines()), 0) << logsrv.dump();
    EXPECT_FALSE(logsrv.hassub("error -4")) << logsrv.dump();
}

TEST_F(cachee2e, KilledAtRandomMomentsOfAReplayEveryValueLandsOnce) {
    constexpr int values = 150000;
    constexpr int soes = 40;
    constexpr int kills = 5;
    fs::create_directories(pd.dir() / "db");
    fs::create_directories(cachedir);
    int64_t period = cachefile::periodstamp(nowsec());
    int64_t old = period - 1200;
    {
        // The cache file of a period long over, written as the program would.
        zo::fakeclockenv clock((old + 5) * 1000);
        zo::scopedenv scope(&clock);
        localcache fill;
        fill.configure(cachedir.string(), 1000, 8);
        // The SOE block first: its write waits for the database, the value
        // blocks behind it are handed over without waiting.
        soearray s;
        for (int i = 0; i < soes; ++i) {
            soerec* r = s.items.emplace();
            ASSERT_NE(r, nullptr);
            r->f230 = static_cast<uint64_t>(i);
            r->f236 = "breaker";
        }
        fill.putsoes(&s);
        for (int p = 0; p < values / 500; ++p) {
            tagvalarray b;
            for (int i = p * 500; i < (p + 1) * 500; ++i)
                b.items.append(intvalue("k." + std::to_string(i % 2000), i, 1700000000000LL + i));
            fill.puttagvals(&b);
        }
        fill.closewriter();
    }
    std::string file = (cachedir / ("ioch_" + std::to_string(old))).string();
    ASSERT_TRUE(fs::exists(file));

    unsigned seed = static_cast<unsigned>(nowsec());
    std::mt19937 rng(seed);
    std::vector<std::string> seen;  // history rows at each kill
    for (int k = 0; k < kills && fs::exists(file); ++k) {
        size_t from = logsrv.lines().size();
        spawn((period + 30) * 1000);
        login();
        ASSERT_TRUE(waitdraining([&] {
            return logsrv.findfrom("open cache file " + file + " success.", from) >= 0;
        })) << logsrv.dump();
        // Some moment of the replay, or just after it.
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 1500));
        prog.kill();
        seen.push_back(sqlone(dbpath, "SELECT COUNT(*) FROM history"));
    }
    // A last run to the end of the replay.
    spawn((period + 30) * 1000);
    login();
    EXPECT_TRUE(waitdraining([&] { return !fs::exists(file); }, 120000)) << logsrv.dump();
    ASSERT_EQ(::kill(prog.pid, SIGTERM), 0);
    ASSERT_TRUE(waitdraining([&] { return !prog.alive(); })) << logsrv.dump();

    std::string trials;
    for (const std::string& n : seen) trials += n + " ";
    RecordProperty("rows_at_kills", trials);
    EXPECT_EQ(sqlrows(dbpath, "SELECT COUNT(*), COUNT(DISTINCT time), SUM(value) FROM history"),
              (std::vector<std::string>{std::to_string(values) + "|" + std::to_string(values) +
                                        "|" + std::to_string(int64_t{values} * (values - 1) / 2)}))
        << "seed " << seed << ", rows at the kills: " << trials;
    EXPECT_EQ(sqlrows(dbpath, "SELECT COUNT(*), COUNT(DISTINCT f230) FROM soe"),
              (std::vector<std::string>{std::to_string(soes) + "|" + std::to_string(soes)}))
        << "seed " << seed;
}

}  // namespace
