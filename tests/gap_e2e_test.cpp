// The gapudp road end to end: the IO server played by this test, the built
// Quorvane with a gapudp link, a UDP relay in this process that drops,
// duplicates, reorders and corrupts datagrams by a seeded plan, the built
// gaprx, and the far side's SQLite file.  The relay opens every datagram
// with independent code (zlib, liblz4, Google's protobuf) to know what each
// one carried.  (Refused credentials and a sender that starts again are
// gaprx's unit tests'.)
//
// Every wait is bounded (against hanging only); nothing here asserts how
// long anything took.
#include <lz4.h>
#include <signal.h>
#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gapmsg_oracle_test.pb.h"
#include "gtest/gtest.h"
#include "tests/harness.h"

namespace {

using namespace e2e;

uint32_t be32(const std::string& d, size_t at) {
    auto* p = reinterpret_cast<const uint8_t*>(d.data()) + at;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The message of an intact datagram, read without any of our code.
bool opendgram(const std::string& d, gaporacle::Msg* m) {
    if (d.size() < 24 || d.compare(0, 4, "\xA9\x02\x01\x01") != 0) return false;
    auto* b = reinterpret_cast<const Bytef*>(d.data());
    if (be32(d, 20) != crc32(0, b, 20) || be32(d, 8) != d.size() - 24 ||
        be32(d, 16) != crc32(0, b + 24, static_cast<uInt>(d.size() - 24)))
        return false;
    std::string raw(be32(d, 12), '\0');
    int n = LZ4_decompress_safe(d.data() + 24, raw.data(), static_cast<int>(d.size() - 24),
                                static_cast<int>(raw.size()));
    return n == static_cast<int>(raw.size()) && m->ParseFromString(raw);
}

// One history row as text that compares exactly: doubles by their bits.
std::string rowtext(const std::string& name, int64_t ms, int q, int type, const std::string& v) {
    return name + "|" + std::to_string(ms) + "|" + std::to_string(q) + "|" + std::to_string(type) +
           "|" + v;
}
std::string dbl(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return "r" + std::to_string(bits);
}

// The history table, values in their storage class.
std::multiset<std::string> history(const std::string& path) {
    std::multiset<std::string> out;
    sqleach(path, "SELECT name, time, quality, type, value FROM history", [&](sqlite3_stmt* st) {
        // Read in the column's own storage class only: a conversion would
        // change it.
        const int type = sqlite3_column_type(st, 4);
        auto blob = [&] {
            auto* p = static_cast<const char*>(sqlite3_column_blob(st, 4));
            return "b" + std::string(p ? p : "", sqlite3_column_bytes(st, 4));
        };
        std::string v = type == SQLITE_INTEGER ? "i" + std::to_string(sqlite3_column_int64(st, 4))
                        : type == SQLITE_FLOAT ? dbl(sqlite3_column_double(st, 4))
                        : type == SQLITE_NULL  ? "null"
                                               : blob();
        out.insert(rowtext(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                           sqlite3_column_int64(st, 1), sqlite3_column_int(st, 2),
                           sqlite3_column_int(st, 3), v));
    });
    return out;
}

// What a value record of the message must become on the far side: times
// in 100 ms steps, the quality's byte as 0..255.
std::string expected(const gaporacle::Val& v) {
    std::string val = v.type() <= 2   ? "i" + std::to_string(v.i32())
                      : v.type() == 3 ? dbl(static_cast<double>(v.f32()))
                      : v.type() == 4 ? "i" + std::to_string(v.i64())
                                      : dbl(v.f64());
    return rowtext(v.name(), v.time() * 100, v.quality() & 0xFF, v.type(), val);
}
std::string expected(const gaporacle::Obj& o) {
    return rowtext(o.name(), o.time() * 100, o.quality() & 0xFF, o.type(), "b" + o.data());
}

// The counters of gaprx's last line of output.
std::map<std::string, uint64_t> counters(const std::string& out) {
    std::map<std::string, uint64_t> c;
    size_t at = out.rfind("stats ");
    std::istringstream in(at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at));
    for (std::string kv; in >> kv;) {
        size_t eq = kv.find('=');
        if (eq != std::string::npos) c[kv.substr(0, eq)] = std::stoull(kv.substr(eq + 1));
    }
    return c;
}

void sendto(int fd, int port, const std::string& d) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// Between Quorvane and gaprx.  Per datagram, by a seeded plan: pass, drop,
// pass and send a copy after the next one, hold until after the next one,
// or send it corrupted instead (a bit flipped or the end cut off).
class relay {
  public:
    explicit relay(int to) : to_(to) {
        int big = 16 << 20;
        ::setsockopt(in_.fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        out_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ~relay() { ::close(out_); }
    int port() const { return in_.port; }

    // Forwards what has arrived; returns the values seen so far.
    size_t pump(int waitms) {
        pollfd p{in_.fd, POLLIN, 0};
        while (::poll(&p, 1, waitms) > 0) {
            waitms = 0;
            std::string d(70000, '\0');
            ssize_t n = ::recv(in_.fd, d.data(), d.size(), 0);
            if (n <= 0) break;
            d.resize(static_cast<size_t>(n));
            one(d);
        }
        return values;
    }
    // Sends what is still held.
    void flush() {
        for (const std::string& d : later_) sendto(out_, to_, d);
        later_.clear();
    }

    std::vector<gaporacle::Msg> intact;  // one per datagram that got through whole
    std::set<uint32_t> intactseqs;
    size_t values = 0;  // in every datagram received
    int dropped = 0, copies = 0, held = 0, corrupted = 0;

  private:
    void one(const std::string& d) {
        gaporacle::Msg m;
        ASSERT_TRUE(opendgram(d, &m));
        values += m.vals_size() + m.objs_size() + m.soes_size();
        std::vector<std::string> send, after;
        bool whole = true;  // an unchanged copy goes on
        int roll = static_cast<int>(rng_() % 100);
        if (roll < 60) {
            send.push_back(d);
        } else if (roll < 70) {
            whole = false;
            ++dropped;
        } else if (roll < 78) {
            send.push_back(d);
            after.push_back(d);
            ++copies;
        } else if (roll < 88) {
            after.push_back(d);
            ++held;
        } else {
            std::string bad = d;
            if (roll < 94) {
                size_t bit = rng_() % (bad.size() * 8);
                bad[bit / 8] = static_cast<char>(bad[bit / 8] ^ (1 << (bit % 8)));
            } else {
                bad.resize(rng_() % bad.size());
            }
            send.push_back(bad);
            whole = false;
            ++corrupted;
        }
        if (whole) {
            intact.push_back(m);
            intactseqs.insert(be32(d, 4));
        }
        for (const std::string& x : send) sendto(out_, to_, x);
        if (!send.empty()) flush();  // what was held goes after this one
        for (const std::string& x : after) later_.push_back(x);
    }

    heldport in_{SOCK_DGRAM};
    int out_;
    int to_;
    std::mt19937_64 rng_{1212};
    std::vector<std::string> later_;
};

// Values as a plant sends them: every type, backslashes, quotes, names
// beyond the 79 bytes a record keeps, characters outside GBK, every digit of
// a double, the edges of the integers.
tagvalarray plantvalues(int package, std::mt19937_64& rng) {
    static const char* const names[] = {"pump\\speed", "valve \"A\"", "\xF0\x9F\x92\xA7.level",
                                        "tank.temp"};
    tagvalarray b;
    for (int i = 0; i < 15; ++i) {
        tagval t;
        std::string name =
            std::string(names[i % 4]) + "." + std::to_string(package) + "." + std::to_string(i);
        if (i == 14) name = std::string(90, 'L') + name;  // cut to 79 bytes on the way
        t.name = name.c_str();
        t.time = 1700000000000LL + package * 1000 + i * 100;
        t.quality = static_cast<uint32_t>(rng() % 256);
        t.vtype = 1 + static_cast<uint32_t>(rng() % 7);
        static const int64_t ints[] = {0, 1, -1, INT32_MIN, INT32_MAX, INT64_MIN, INT64_MAX};
        t.vint = i % 3 ? static_cast<int64_t>(rng()) : ints[rng() % 7];
        // Every digit of a double, and the infinities; for type 3 also
        // doubles a float cannot hold (they become infinities or zeros).  No
        // NaN and no -0.0: SQLite keeps neither.
        uint64_t bits = (rng() & ~(0x7FFull << 52)) | ((rng() % 2047 + 1) << 52);
        if ((bits >> 52 & 0x7FF) == 0x7FF) bits &= ~((1ull << 52) - 1);  // inf, not NaN
        std::memcpy(&t.vdouble, &bits, 8);
        if (t.vtype == 3 && static_cast<float>(t.vdouble) == 0) t.vdouble = 0;
        if (t.vtype == 6) t.vbytes = ("text \\ \"" + std::to_string(rng()) + "\" \xC3\xA9").c_str();
        if (t.vtype == 7) {
            std::string raw(rng() % 40 + 1, '\0');
            for (char& c : raw) c = static_cast<char>(rng());
            t.vbytes = zo::string(raw.data(), static_cast<uint32_t>(raw.size()));
        }
        b.items.append(std::move(t));
    }
    return b;
}

class gape2e : public qvtest {};

TEST_F(gape2e, ARelayThatLosesDuplicatesReordersAndCorruptsLeavesEveryIntactValueOnceAndExact) {
    ASSERT_NO_FATAL_FAILURE(prepare("far.db", "cache"));
    const std::string farpath = dbpath;
    // gaprx: up once the database file is there (it is opened after the bind).
    child rx;
    // A free port for gaprx to bind, held only for the moment of asking.
    const int gaprxport = heldport(SOCK_DGRAM).port;
    ASSERT_TRUE(rx.start(zotest::bindir() + "/gaprx",
                         {"gapudp://127.0.0.1:" + std::to_string(gaprxport), dburl, "u", "p",
                          "--stats", "0", "--log-level", "err"}));
    ASSERT_TRUE(until([&] { return fs::exists(farpath); }));
    // A cache file left from a run with the database link: gapudp cannot
    // write history, so the replay deletes it.
    fs::path cache = pd.dir() / "cache";
    fs::create_directories(cache);
    { std::ofstream(cache / "ioch_600") << "old"; }
    relay r(gaprxport);
    ASSERT_TRUE(pd.writeconfig("e2e.ini", "gapudp://127.0.0.1:" + std::to_string(r.port()),
                               cache.string()));
    spawn(4);  // the cache scan comes within seconds
    login();

    // One package at a time, each waited for, so that each is one datagram
    // and the plan meets the same datagrams on every run.
    std::mt19937_64 rng(20261212);
    size_t sent = 0;
    for (int p = 0; p < 120; ++p) {
        if (p % 40 == 39) {
            soearray soe;
            for (int i = 0; i < 3; ++i) {
                soerec* s = soe.items.emplace();
                s->f230 = 1700000000000ull + p;
                s->f236 = "breaker\\" + std::to_string(p);
                s->f231 = static_cast<uint32_t>(i + 1);
            }
            ASSERT_TRUE(io.send(3210, soe));
            sent += 3;
        } else {
            tagvalarray b = plantvalues(p, rng);
            ASSERT_TRUE(io.send(3202, b));
            sent += b.items.size();
        }
        ASSERT_TRUE(until([&] { return r.pump(5) >= sent; }, 20000, [&] { io.drain(); }))
            << logsrv.dump();
    }
    r.flush();

    std::multiset<std::string> want;
    size_t wantsoes = 0;
    for (const gaporacle::Msg& m : r.intact) {
        for (const auto& v : m.vals()) want.insert(expected(v));
        for (const auto& v : m.objs()) want.insert(expected(v));
        wantsoes += m.soes_size();
    }
    ASSERT_TRUE(until([&] { return history(farpath).size() >= want.size(); }, 30000));
    ASSERT_TRUE(until(
        [&] { return sqlone(farpath, "SELECT count(*) FROM soe") == std::to_string(wantsoes); }));
    // SIGUSR1 asks for the counters without stopping.
    ::kill(rx.pid, SIGUSR1);
    ASSERT_TRUE(until([&] {
        rx.readout();
        return rx.output.find("stats ") != std::string::npos;
    }));
    EXPECT_TRUE(rx.alive());

    EXPECT_TRUE(rx.stop(SIGTERM));
    std::map<std::string, uint64_t> c = counters(rx.output);
    std::multiset<std::string> got = history(farpath);
    std::vector<std::string> missing, extra;
    std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                        std::back_inserter(missing));
    std::set_difference(got.begin(), got.end(), want.begin(), want.end(),
                        std::back_inserter(extra));
    EXPECT_TRUE(missing.empty()) << missing.size() << " missing, e.g. " << missing[0];
    EXPECT_TRUE(extra.empty()) << extra.size() << " not sent, e.g. " << extra[0];

    ASSERT_FALSE(c.empty()) << rx.output;
    EXPECT_EQ(r.intact.size(), c["accepted"]);
    // Loss as gaprx counts it: numbers missing between the first and the
    // last datagram that came through.
    uint32_t lo = *r.intactseqs.begin(), hi = *r.intactseqs.rbegin();
    EXPECT_EQ(hi - lo + 1 - r.intactseqs.size(), c["lost"]);
    EXPECT_EQ(static_cast<uint64_t>(r.copies), c["dup"]);
    EXPECT_EQ(static_cast<uint64_t>(r.copies), c["replay"]);
    EXPECT_GT(c["reordered"], 0u);
    EXPECT_EQ(static_cast<uint64_t>(r.corrupted), c["short"] + c["magic"] + c["headcrc"] +
                                                      c["bodylen"] + c["bodycrc"] + c["rawlen"] +
                                                      c["lz4"] + c["decode"]);
    EXPECT_EQ(want.size(), c["written"]);
    EXPECT_EQ(0u, c["failed"]);
    EXPECT_GT(r.dropped, 0);
    EXPECT_GT(r.held, 0);

    EXPECT_TRUE(logsrv.waitfor("udp channel can't insert history, delete the cache file"))
        << logsrv.dump();
    EXPECT_TRUE(until([&] { return !fs::exists(cache / "ioch_600"); }));
    EXPECT_TRUE(prog.stop(SIGTERM));
    logsrv.receive(200);
    EXPECT_TRUE(logsrv.has("close gapudp gapudp://127.0.0.1:" + std::to_string(r.port()) + " "));
}

}  // namespace
