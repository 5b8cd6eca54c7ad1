// End to end over PostgreSQL: the built Quorvane program writes to
// throwaway PostgreSQL servers while they fail (stopped mid-stream and
// started again; a primary stopped and its synchronous standby promoted),
// and every value the IO server sent reaches history exactly once, with its
// own time, through the local cache and its replay.  The program's wall
// clock starts shortly before the end of a ten-minute period and runs ten
// times as fast (cache_e2e_clock, preloaded).  Every wait is bounded.
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/cachefile.h"
#include "gtest/gtest.h"
#include "oxaapi/pgserver_test.h"
#include "tests/harness.h"

namespace {

using namespace e2e;
using oxatest::pgserver;

constexpr int speed = 10;     // the program's clock runs this much faster
constexpr int64_t lead = 60;  // its seconds from start to the period's end: past the outage
constexpr int perpkg = 50;    // values per package: 100 packages a second
constexpr int64_t t0 = 1700000000000LL;

class pge2e : public qvtest {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(prepare("unused.db", "cache")); }

    // Starts the program on the given servers (a standby after the first).
    void start(const std::vector<std::string>& urls) {
        std::ofstream f(pd.dir() / "bin" / "config" / "e2e.ini");
        f << "{ \"dblinks\": [";
        for (size_t i = 0; i < urls.size(); ++i)
            f << (i ? "," : "") << "{\"node\":\"n" << i << "\",\"url\":\"" << urls[i]
              << "\",\"user\":\"postgres\",\"pswd\":\"" << pgserver::password << "\"}";
        f << "], \"cache_path\": \"" << (pd.dir() / "cache").string() << "\" }\n";
        f.close();
        spawn(speed, (cachefile::periodstamp(wallsec()) + 600 - lead) * 1000);
        login();
        ASSERT_TRUE(logsrv.waitfor("oxa " + urls[0] + " connected success.")) << logsrv.dump();
    }

    // Sends the next package of distinct values (value i at time t0 + i),
    // reading what the program sends meanwhile.
    void sendone() {
        tagvalarray b;
        for (int i = 0; i < perpkg; ++i, ++sent)
            b.items.append(intvalue("v" + std::to_string(sent % 97), sent, t0 + sent));
        ASSERT_TRUE(io.send(3202, b));
        io.drain();
        logsrv.receive(0);
    }
    // Sends for ms milliseconds at 100 packages a second.
    void stream(int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            sendone();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Waits until every value sent is in db's history, then checks each is
    // there once with its own value.
    void expectall(pgserver& db) {
        std::string want = std::to_string(sent);
        std::string got;
        bool all = draining([&] { return (got = db.one("SELECT count(*) FROM history")) == want; },
                            120000);
        EXPECT_TRUE(all) << got << " of " << want << " rows\n" << logsrv.dump();
        EXPECT_EQ(db.one("SELECT count(DISTINCT time) || '|' || sum(CASE WHEN time - " +
                         std::to_string(t0) + " = vint THEN 1 ELSE 0 END) FROM history"),
                  want + "|" + want);
        stopdraining();
    }

    int sent = 0;
};

TEST_F(pge2e, AServerStoppedMidStreamGetsEveryValueOnce) {
    pgserver db;
    std::string why;
    ASSERT_TRUE(db.start(&why)) << why;
    const std::string url = db.url("postgres");
    start({url});
    stream(1500);
    ASSERT_TRUE(db.stop("immediate"));
    size_t from = logsrv.lines().size();
    stream(3000);  // 30 s of the program's time
    // The request in flight is answered "not written" (its values go to the
    // cache) and the status goes 60003, with the reason.
    EXPECT_TRUE(until(
        [&] { return logsrv.findfrom("oxa " + url + " disconnect, status 60003, ", from) >= 0; },
        20000, [&] { logsrv.receive(20); }))
        << logsrv.dump();
    ASSERT_TRUE(db.restart(&why)) << why;
    from = logsrv.lines().size();
    stream(1500);
    EXPECT_TRUE(logsrv.waitfor("oxa " + url + " connected success.", 30000, from)) << logsrv.dump();
    expectall(db);
}

TEST_F(pge2e, FailoverToAPromotedStandbyGetsEveryValueOnce) {
    pgserver primary, standby;
    std::string why;
    ASSERT_TRUE(primary.start(&why)) << why;
    ASSERT_TRUE(standby.startstandby(primary, true, &why)) << why;
    start({primary.url("postgres"), standby.url("postgres")});
    stream(1500);
    ASSERT_TRUE(primary.stop("immediate"));
    stream(500);
    ASSERT_TRUE(standby.promote());
    size_t from = logsrv.lines().size();
    stream(1500);
    // The run information names the database in use: the standby's URL.
    EXPECT_TRUE(
        logsrv.waitfor("oxa " + standby.url("postgres") + " connected success.", 30000, from))
        << logsrv.dump();
    expectall(standby);
}

}  // namespace
