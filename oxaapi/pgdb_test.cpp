// The library over a real PostgreSQL server (a throwaway one per process):
// values exactly as sent, idempotent history, partitions, control writes by
// NOTIFY, failover to a standby, and servers that misbehave.
#include "oxaapi/pgdb.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "base/env.h"
#include "oxaapi/oxaapi.h"
#include "oxaapi/pgserver_test.h"
#include "oxaapi/testutil.h"

namespace {

using oxatest::pgserver;
using oxatest::recorder;
using oxatest::statusof;

// One server for every case this process runs.
pgserver& server() {
    static pgserver s;
    static std::string why = [] {
        std::string w;
        return s.start(&w) ? std::string() : w;
    }();
    EXPECT_EQ(why, "") << "the PostgreSQL test server did not start";
    return s;
}

// A loopback TCP relay in front of a server that can stop passing bytes
// (a server that hangs) or cut the connection when the client starts a
// COPY's data (a server that closes mid-COPY).
class relay {
  public:
    enum mode { pass = 0, freeze = 1, cutoncopy = 2 };

    explicit relay(int target) : target_(target), listen_(SOCK_STREAM, true) {
        th_ = std::thread([this] { run(); });
    }
    ~relay() {
        stop_ = true;
        th_.join();
    }
    int port() const { return listen_.port; }
    std::atomic<int> how{pass};
    std::atomic<int> cuts{0};

  private:
    struct side {
        int c = -1, s = -1;
        std::string in;  // client bytes not yet parsed into messages
        bool started = false;
        bool dead = false;
    };
    void run() {
        std::vector<side> conns;
        while (!stop_) {
            std::vector<pollfd> fds{{listen_.fd, POLLIN, 0}};
            for (auto& s : conns) {
                fds.push_back({s.c, POLLIN, 0});
                fds.push_back({s.s, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                side s;
                s.c = ::accept(listen_.fd, nullptr, nullptr);
                s.s = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(static_cast<uint16_t>(target_));
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::connect(s.s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                    conns.push_back(s);
                } else {
                    ::close(s.c);
                    ::close(s.s);
                }
            }
            if (how == freeze) continue;
            for (size_t i = 0; i < conns.size(); ++i) {
                side& s = conns[i];
                char buf[65536];
                if (fds[1 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) {
                    ssize_t n = ::read(s.c, buf, sizeof buf);
                    if (n <= 0) {
                        s.dead = true;
                    } else {
                        s.in.append(buf, static_cast<size_t>(n));
                        if (how == cutoncopy && seescopydata(s)) {
                            ++cuts;
                            s.dead = true;
                        } else if (::write(s.s, buf, static_cast<size_t>(n)) != n) {
                            s.dead = true;
                        }
                    }
                }
                if (!s.dead && (fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR))) {
                    ssize_t n = ::read(s.s, buf, sizeof buf);
                    if (n <= 0 || ::write(s.c, buf, static_cast<size_t>(n)) != n) s.dead = true;
                }
            }
            for (auto it = conns.begin(); it != conns.end();) {
                if (!it->dead) {
                    ++it;
                    continue;
                }
                ::close(it->c);
                ::close(it->s);
                it = conns.erase(it);
            }
        }
        for (auto& s : conns) {
            ::close(s.c);
            ::close(s.s);
        }
    }
    // Walks the client's messages: the untyped start-up ones, then typed
    // ones; true at a CopyData ('d') message.
    static bool seescopydata(side& s) {
        for (;;) {
            size_t head = s.started ? 5 : 4;
            if (s.in.size() < head) return false;
            uint32_t len;
            std::memcpy(&len, s.in.data() + head - 4, 4);
            len = ntohl(len);
            if (s.started && s.in[0] == 'd') return true;
            size_t whole = (s.started ? 1 : 0) + len;
            if (s.in.size() < whole) return false;
            if (!s.started) {
                uint32_t code;
                std::memcpy(&code, s.in.data() + 4, 4);
                // An SSL or GSS request is followed by the real start-up.
                s.started = ntohl(code) != 80877103 && ntohl(code) != 80877104;
            }
            s.in.erase(0, whole);
        }
    }

    int target_;
    heldport listen_;
    std::atomic<bool> stop_{false};
    std::thread th_;
};

// The lines the library logs.
struct loglines {
    std::mutex mu;
    std::vector<std::string> v;
    static void fn(int, const char* text, void* u) {
        auto* l = static_cast<loglines*>(u);
        std::lock_guard<std::mutex> lk(l->mu);
        l->v.push_back(text);
    }
    bool has(const std::string& part) {
        std::lock_guard<std::mutex> lk(mu);
        for (const auto& s : v)
            if (s.find(part) != std::string::npos) return true;
        return false;
    }
    std::string all() {
        std::lock_guard<std::mutex> lk(mu);
        std::string out;
        for (const auto& s : v) out += s + "\n";
        return out;
    }
};

class pgdbtest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_GT(server().port(), 0);
        db = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(server().createdb(db)) << server().log();
        handle = oxa_create();
        ASSERT_GE(handle, 0);
        rec.handle = handle;
        oxa_setmessagenotify(handle, recorder::onstatus, &rec);
        oxa_initwritetodevice(handle, recorder::onvalue, &rec, recorder::onobject, &rec);
        oxa_setlog(handle, loglines::fn, &logged);
        oxa_setintervals(handle, 50, 20);
    }
    void TearDown() override {
        if (handle >= 0) oxa_destory(handle);
    }
    void connect(const std::string& url) {
        ASSERT_EQ(oxa_connectex(handle, url.c_str(), "postgres", pgserver::password, 0), 0);
        ASSERT_TRUE(rec.waitcode(OXA_CONNECTED)) << logged.all();
    }
    std::string roundtrip(const std::string& text) {
        return rec.roundtrip([&] {
            return oxa_callmsg(handle, text.data(), static_cast<int>(text.size()),
                               recorder::onresponse, &rec);
        });
    }
    std::string q(const std::string& sql) { return server().one(sql, db); }

    std::string db;
    recorder rec;
    loglines logged;
    int handle = -1;
};

TEST_F(pgdbtest, valuesarestoredexactlyassent) {
    connect(server().url(db));
    // Raw bytes in a request: a text that is not UTF-8 goes to vbytes whole.
    std::string r = roundtrip(
        "{\"request\":\"oxa_writesnaps\",\"seqno\":7,\"vals\":["
        "{\"T\":1700000000100,\"N\":\"i32\",\"Q\":192,\"DT\":1,\"V\":-2147483648},"
        "{\"T\":1700000000100,\"N\":\"f32\",\"DT\":3,\"V\":0.1},"
        "{\"T\":1700000000100,\"N\":\"i64\",\"DT\":4,\"V\":-9223372036854775808},"
        "{\"T\":1700000000100,\"N\":\"nan\",\"DT\":5,\"V\":NaN},"
        "{\"T\":1700000000100,\"N\":\"inf\",\"DT\":5,\"V\":inf},"
        "{\"T\":1700000000100,\"N\":\"ninf\",\"DT\":5,\"V\":-inf},"
        "{\"T\":1700000000100,\"N\":\"d\",\"DT\":5,\"V\":5e-324},"
        "{\"T\":1700000000100,\"N\":\"s\",\"DT\":6,\"V\":\"a\\\\b\\\"c\\u00e9\"},"
        "{\"T\":1700000000100,\"N\":\"raw\",\"DT\":6,\"V\":\"\xff\xfe\"},"
        "{\"T\":1700000000100,\"N\":\"blob\",\"DT\":7,\"V\":\"AAH/\"},"
        "{\"T\":1700000000100,\"N\":\"empty\",\"DT\":7},"
        "{\"T\":1700000000100,\"N\":\"\xe6\xb3\xb5.\xe9\x80\x9f\\\\1\",\"DT\":1,\"V\":3}]}");
    EXPECT_EQ(r, "{\"status\":0,\"response\":\"oxa_writesnaps\",\"seqno\":7,\"vals\":[]}");
    const char* cols =
        "quality || ':' || type || ':' || coalesce(vint::text, vreal::text, vtext,"
        " encode(vbytes, 'hex'), 'none') FROM ";
    const std::pair<const char*, const char*> want[] = {
        {"i32", "192:1:-2147483648"},
        {"f32", "0:3:0.10000000149011612"},
        {"i64", "0:4:-9223372036854775808"},
        {"nan", "0:5:NaN"},
        {"inf", "0:5:Infinity"},
        {"ninf", "0:5:-Infinity"},
        {"d", "0:5:5e-324"},
        {"s", "0:6:a\\b\"c\xc3\xa9"},
        {"raw", "0:6:fffe"},
        {"blob", "0:7:0001ff"},
        {"empty", "0:7:"},
        {"\xe6\xb3\xb5.\xe9\x80\x9f\\1", "0:1:3"},
    };
    for (const char* table : {"history", "snapshot"}) {
        for (auto& [name, v] : want) {
            EXPECT_EQ(q(std::string("SELECT ") + cols + table + " WHERE name = " +
                        oxa::pgconn::literal(name) + " AND time = 1700000000100"),
                      v)
                << table << " " << name;
        }
    }
    // SOE records: the unsigned 64-bit field as its bit pattern, texts cut
    // where the record cut them, bytes that are not UTF-8 replaced.
    oxa_soerec soe[2];
    std::memset(soe, 0, sizeof soe);
    soe[0].f230 = 0x8000000000000001ull;
    soe[0].f231 = 4000000000u;
    soe[0].f233 = 65535;
    std::strcpy(soe[0].f236, "breaker \xe5\xbc\x80");
    soe[1].f239 = 255;
    std::strcpy(soe[1].f238, "bad \xff");
    ASSERT_EQ(oxa_soeput(handle, soe, 2), 0);
    EXPECT_EQ(
        server().rows("SELECT f230, f231, f233, f236, f238, f239 FROM soe ORDER BY id", db),
        (std::vector<std::string>{"-9223372036854775807|4000000000|65535|breaker \xe5\xbc\x80||0",
                                  "0|0|0||bad \xef\xbf\xbd|255"}));
}

TEST_F(pgdbtest, historylandsonceandsnapshotsfollowtherequestkind) {
    connect(server().url(db));
    auto vals = [](const char* req, int seq, const std::string& body) {
        return std::string("{\"request\":\"") + req + "\",\"seqno\":" + std::to_string(seq) +
               ",\"vals\":[" + body + "]}";
    };
    // The same value twice in one request, then the request again (as after
    // a lost answer), then the same rows replayed as history.
    std::string body =
        "{\"T\":5000,\"N\":\"h\",\"DT\":5,\"V\":5.5},{\"T\":5000,\"N\":\"h\",\"DT\":5,\"V\":6.5},"
        "{\"T\":4000,\"N\":\"h\",\"DT\":5,\"V\":4.5}";
    for (const char* req : {"oxa_writesnaps", "oxa_writesnaps"})
        EXPECT_EQ(statusof(roundtrip(vals(req, 1, body))), 0) << req;
    // Live values: the last row of a tag wins, even when it is older.
    EXPECT_EQ(q("SELECT time || ':' || vreal FROM snapshot WHERE name = 'h'"), "4000:4.5");
    // Replayed values: the snapshot moves only forward.
    EXPECT_EQ(statusof(roundtrip(vals("oxa_insert", 2, body))), 0);
    EXPECT_EQ(server().rows("SELECT time, vreal FROM history ORDER BY time", db),
              (std::vector<std::string>{"4000|4.5", "5000|5.5"}));
    EXPECT_EQ(q("SELECT time || ':' || vreal FROM snapshot WHERE name = 'h'"), "5000:5.5");
    roundtrip(vals("oxa_insert", 3,
                   "{\"T\":4500,\"N\":\"h\",\"DT\":5,\"V\":1},{\"T\":3000,\"N\":\"new\",\"DT\":1,"
                   "\"V\":7},{\"T\":2000,\"N\":\"new\",\"DT\":1,\"V\":8}"));
    EXPECT_EQ(q("SELECT time || ':' || vreal FROM snapshot WHERE name = 'h'"), "5000:5.5");
    EXPECT_EQ(q("SELECT time || ':' || vint FROM snapshot WHERE name = 'new'"), "3000:7");
    roundtrip(vals("oxa_insert", 4, "{\"T\":6000,\"N\":\"h\",\"DT\":5,\"V\":2}"));
    EXPECT_EQ(q("SELECT time || ':' || vreal FROM snapshot WHERE name = 'h'"), "6000:2");
    EXPECT_EQ(q("SELECT count(*) FROM history"), "6");
}

}  // namespace
