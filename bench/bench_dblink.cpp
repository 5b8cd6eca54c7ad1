// bench_dblink - tag values per second from the link instance's snapshot
// writer through the client library into SQLite, against a bare loop that
// writes the same rows with the library's own statements.
//
// link: velmarinst (real oxaapi, WAL, synchronous=NORMAL) takes packages of
//       100 tag values from valq, builds "oxa_writesnaps" requests, and the
//       library turns every value into a snapshot upsert and a history insert.
//       Timed from the first push to the last response.
// bare: one connection, the same two prepared statements per value, one
//       transaction per 10,000 values.
// The figure that matters is the ratio link / bare (target: 0.75 or more).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dblink/oxafuncs.h"
#include "dblink/velmarinst.h"

namespace {

constexpr int tags = 10000;      // distinct tag names
constexpr int perpackage = 100;  // values per package, as the IO server sends them
constexpr int packages = 2000;   // 200,000 values per run
constexpr int txrows = 10000;    // rows per transaction of the bare loop
constexpr int64_t basetime = 17066592000000;

double linkrate = 0;  // best values per second of each side
double barerate = 0;

std::string tagname(int i) {
    char buf[32];
    snprintf(buf, sizeof buf, "bench.tag%05d", i % tags);
    return buf;
}

double valueof(int i) {
    return i * 0.25 + 0.125;
}

struct tmpdir {
    std::string path;
    tmpdir() {
        std::string t = (std::filesystem::temp_directory_path() / "zobenchXXXXXX").string();
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) path = buf.data();
    }
    ~tmpdir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// ---- the link: count the responses the library gives ---------------------------

std::atomic<int> responses{0};
std::atomic<int> failures{0};
oxa_responsefn innerfn = nullptr;

void countresponse(const char* text, int length, void* user) {
    std::string_view t(text, static_cast<size_t>(length));
    if (t.find("\"status\":0") == std::string_view::npos) failures.fetch_add(1);
    if (innerfn) innerfn(text, length, user);
    responses.fetch_add(1, std::memory_order_release);
}

int countingcallmsg(int h, const char* text, int length, oxa_responsefn fn, void* user) {
    innerfn = fn;
    return oxa_callmsg(h, text, length, countresponse, user);
}

std::atomic<int> sent{0};        // requests
std::atomic<int> sentvalues{0};  // tag values in them

const oxafuncs* countingtable() {
    static oxafuncs t = *oxadefault();
    t.callmsg = [](int h, const char* text, int length, oxa_responsefn fn, void* user) {
        std::string_view v(text, static_cast<size_t>(length));
        int n = 0;
        for (size_t p = v.find("\"N\":"); p != std::string_view::npos; p = v.find("\"N\":", p + 4))
            ++n;
        int r = countingcallmsg(h, text, length, fn, user);
        if (r == 0) {
            sent.fetch_add(1, std::memory_order_release);
        } else {
            failures.fetch_add(1);
        }
        // Counted last: once all values are counted, sent is final.
        sentvalues.fetch_add(n, std::memory_order_release);
        return r;
    };
    return &t;
}

tagvalbody* package(int first) {
    auto* b = new tagvalbody;
    b->items.reserve(perpackage);
    for (int i = 0; i < perpackage; ++i) {
        tagval t;
        t.name = tagname(first + i);
        t.time = (basetime + first + i) * 100;
        t.quality = 192;
        t.vtype = 5;
        t.vdouble = valueof(first + i);
        b->items.append(std::move(t));
    }
    return b;
}

void BM_link(benchmark::State& state) {
    for (auto _ : state) {
        tmpdir dir;
        std::string cfg = dir.path + "/link.ini";
        FILE* f = fopen(cfg.c_str(), "w");
        fprintf(f,
                "{\"dblinks\":[{\"node\":\"b\",\"url\":\"sqlite://localhost%s/rt.db\","
                "\"user\":\"u\",\"pswd\":\"p\"}]}",
                dir.path.c_str());
        fclose(f);
        velmarinst inst(nullptr, countingtable());
        if (inst.start(cfg.c_str(), "bench") != 0) {
            state.SkipWithError("start failed");
            return;
        }
        for (int i = 0; i < 2000 && !inst.isconnected(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!inst.isconnected()) {
            state.SkipWithError("no database");
            return;
        }
        std::vector<tagvalbody*> pk;
        for (int p = 0; p < packages; ++p) pk.push_back(package(p * perpackage));
        responses.store(0);
        sent.store(0);
        sentvalues.store(0);
        failures.store(0);

        auto t0 = std::chrono::steady_clock::now();
        for (tagvalbody* b : pk) inst.pushval(b);
        // Done when every value went out in a request and every request
        // was answered.
        auto giveup = t0 + std::chrono::minutes(5);
        while (sentvalues.load(std::memory_order_acquire) < packages * perpackage ||
               responses.load(std::memory_order_acquire) < sent.load(std::memory_order_acquire)) {
            if (std::chrono::steady_clock::now() > giveup) {
                failures.fetch_add(1);
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        auto t1 = std::chrono::steady_clock::now();

        inst.stop();
        double secs = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(secs);
        double rate = packages * perpackage / secs;
        if (rate > linkrate) linkrate = rate;
        if (failures.load()) state.SkipWithError("the database refused requests");
    }
    state.counters["best values/s"] = linkrate;
    state.SetItemsProcessed(state.iterations() * packages * perpackage);
}

// ---- the bare loop -------------------------------------------------------------

const char* const snapsql =
    "INSERT INTO snapshot(name, time, quality, type, value) VALUES(?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT(name) DO UPDATE SET time = excluded.time, quality = excluded.quality,"
    " type = excluded.type, value = excluded.value";
const char* const histsql =
    "INSERT INTO history(name, time, quality, type, value) VALUES(?1, ?2, ?3, ?4, ?5)";
const char* const schema =
    "CREATE TABLE IF NOT EXISTS snapshot(name TEXT PRIMARY KEY, time INTEGER,"
    " quality INTEGER, type INTEGER, value);"
    "CREATE TABLE IF NOT EXISTS history(name TEXT, time INTEGER, quality INTEGER,"
    " type INTEGER, value);"
    "CREATE INDEX IF NOT EXISTS history_name_time ON history(name, time);";

void bind(sqlite3_stmt* st, const std::string& name, int i) {
    sqlite3_bind_text(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    sqlite3_bind_int64(st, 2, basetime + i);
    sqlite3_bind_int(st, 3, 192);
    sqlite3_bind_int(st, 4, 5);
    sqlite3_bind_double(st, 5, valueof(i));
}

void BM_bare(benchmark::State& state) {
    for (auto _ : state) {
        tmpdir dir;
        sqlite3* db = nullptr;
        std::string path = dir.path + "/rt.db";
        sqlite3_stmt* snap = nullptr;
        sqlite3_stmt* hist = nullptr;
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
            sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr,
                         nullptr, nullptr) != SQLITE_OK ||
            sqlite3_exec(db, schema, nullptr, nullptr, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db, snapsql, -1, &snap, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db, histsql, -1, &hist, nullptr) != SQLITE_OK) {
            state.SkipWithError(sqlite3_errmsg(db));
            sqlite3_close(db);
            return;
        }
        std::vector<std::string> names;
        for (int i = 0; i < packages * perpackage; ++i) names.push_back(tagname(i));

        auto t0 = std::chrono::steady_clock::now();
        bool ok = true;
        for (int i = 0; ok && i < packages * perpackage; ++i) {
            if (i % txrows == 0) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            for (sqlite3_stmt* st : {snap, hist}) {
                bind(st, names[static_cast<size_t>(i)], i);
                ok = ok && sqlite3_step(st) == SQLITE_DONE;
                sqlite3_reset(st);
            }
            if (i % txrows == txrows - 1) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);  // harmless when none is open
        auto t1 = std::chrono::steady_clock::now();

        sqlite3_finalize(snap);
        sqlite3_finalize(hist);
        sqlite3_close(db);
        if (!ok) state.SkipWithError("a write failed");
        double secs = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(secs);
        double rate = packages * perpackage / secs;
        if (rate > barerate) barerate = rate;
    }
    state.counters["best values/s"] = barerate;
    state.SetItemsProcessed(state.iterations() * packages * perpackage);
}

BENCHMARK(BM_bare)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_link)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (barerate > 0 && linkrate > 0) {
        double ratio = linkrate / barerate;
        printf("dblink: link %.0f values/s, bare %.0f values/s, ratio %.2f (target >= 0.75)%s\n",
               linkrate, barerate, ratio, ratio >= 0.75 ? "" : " BELOW TARGET");
    }
    return 0;
}
