// bench_oxaapi.cpp - what the client library spends on a request besides
// SQLite: reading a request of 1000 tag values, and the whole road from
// oxa_callmsg to committed rows, beside the same rows inserted with bare
// prepared statements.  The last line prints the ratio library/bare.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "oxaapi/oxaapi.h"
#include "oxaapi/request.h"

namespace {

constexpr int pervalues = 1000;

std::string tagname(int i) {
    return "plant.area" + std::to_string(i % 10) + ".tag" + std::to_string(i);
}

std::string makerequest(int seq) {
    std::string t =
        "{\"request\":\"oxa_writesnaps\",\"seqno\":" + std::to_string(seq) + ",\"vals\":[";
    for (int i = 0; i < pervalues; ++i) {
        if (i) t += ',';
        t += "{\"T\":" + std::to_string(1700000000000LL + seq * 1000LL + i) + ",\"N\":\"" +
             tagname(i) + "\",\"Q\":192,";
        switch (i % 4) {
            case 0:
                t += "\"DT\":1,\"V\":" + std::to_string(i);
                break;
            case 1:
                t += "\"DT\":3,\"V\":23.4567";
                break;
            case 2:
                t += "\"DT\":5,\"V\":1013.25";
                break;
            default:
                t += "\"DT\":6,\"V\":\"running\"";
                break;
        }
        t += '}';
    }
    return t + "]}";
}

std::string tempdb(const char* name) {
    std::string dir = (std::filesystem::temp_directory_path() / "bench_oxaapi").string();
    std::filesystem::create_directories(dir);
    std::string p = dir + "/" + name;
    for (const char* ext : {"", "-wal", "-shm"}) std::filesystem::remove(p + ext);
    return p;
}

void BM_parserequest(benchmark::State& state) {
    std::string text = makerequest(1);
    oxa::request rq;
    std::string why;
    for (auto _ : state) {
        bool ok = oxa::parserequest(text, &rq, &why);
        benchmark::DoNotOptimize(ok);
    }
    state.SetItemsProcessed(state.iterations() * pervalues);
}
BENCHMARK(BM_parserequest);

double librate = 0, barerate = 0;

void BM_writesnaps(benchmark::State& state) {
    struct sync {
        std::mutex mu;
        std::condition_variable cv;
        int answers = 0;
        bool up = false;
    } s;
    std::string path = tempdb("lib.db");
    int h = oxa_create();
    oxa_setmessagenotify(
        h,
        [](int code, const char*, void* u) {
            auto* p = static_cast<sync*>(u);
            std::lock_guard<std::mutex> lk(p->mu);
            p->up = p->up || code == OXA_CONNECTED;
            p->cv.notify_all();
        },
        &s);
    oxa_connectex(h, ("sqlite://localhost" + path).c_str(), "", "", 0);
    {
        std::unique_lock<std::mutex> lk(s.mu);
        s.cv.wait(lk, [&] { return s.up; });
    }
    std::vector<std::string> reqs(20);
    int sent = 0;
    int round = 0;
    for (auto _ : state) {
        // New times every round: history keeps one row per name and time,
        // and a repeated row would cost less than a new one.
        state.PauseTiming();
        for (int i = 0; i < 20; ++i) reqs[i] = makerequest(round * 20 + i);
        ++round;
        state.ResumeTiming();
        for (const std::string& t : reqs) {
            oxa_callmsg(
                h, t.data(), static_cast<int>(t.size()),
                [](const char*, int, void* u) {
                    auto* p = static_cast<sync*>(u);
                    std::lock_guard<std::mutex> lk(p->mu);
                    ++p->answers;
                    p->cv.notify_all();
                },
                &s);
            ++sent;
        }
        std::unique_lock<std::mutex> lk(s.mu);
        s.cv.wait(lk, [&] { return s.answers == sent; });
    }
    oxa_destory(h);
    state.SetItemsProcessed(state.iterations() * 20 * pervalues);
    state.counters["values/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 20 * pervalues, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_writesnaps)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_bareinserts(benchmark::State& state) {
    std::string path = tempdb("bare.db");
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE snapshot(name TEXT PRIMARY KEY, time INTEGER, quality INTEGER,"
                 " type INTEGER, value);"
                 "CREATE TABLE history(name TEXT, time INTEGER, quality INTEGER, type INTEGER,"
                 " value);"
                 "CREATE UNIQUE INDEX history_key ON history(name, time);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *snap = nullptr, *hist = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO snapshot(name, time, quality, type, value) VALUES(?1, ?2, ?3,"
                       " ?4, ?5) ON CONFLICT(name) DO UPDATE SET time = excluded.time, quality ="
                       " excluded.quality, type = excluded.type, value = excluded.value",
                       -1, &snap, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT OR IGNORE INTO history(name, time, quality, type, value)"
                       " VALUES(?1, ?2, ?3, ?4, ?5)",
                       -1, &hist, nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < pervalues; ++i) names.push_back(tagname(i));
    int64_t seq = 0;
    for (auto _ : state) {
        for (int r = 0; r < 20; ++r, ++seq) {
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            for (int i = 0; i < pervalues; ++i) {
                for (sqlite3_stmt* st : {snap, hist}) {
                    sqlite3_bind_text(st, 1, names[i].c_str(), -1, SQLITE_STATIC);
                    sqlite3_bind_int64(st, 2, 1700000000000LL + seq * 1000 + i);
                    sqlite3_bind_int(st, 3, 192);
                    switch (i % 4) {
                        case 0:
                            sqlite3_bind_int(st, 4, 1);
                            sqlite3_bind_int64(st, 5, i);
                            break;
                        case 1:
                            sqlite3_bind_int(st, 4, 3);
                            sqlite3_bind_double(st, 5, 23.4567f);
                            break;
                        case 2:
                            sqlite3_bind_int(st, 4, 5);
                            sqlite3_bind_double(st, 5, 1013.25);
                            break;
                        default:
                            sqlite3_bind_int(st, 4, 6);
                            sqlite3_bind_text(st, 5, "running", -1, SQLITE_STATIC);
                    }
                    sqlite3_step(st);
                    sqlite3_reset(st);
                }
            }
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        }
    }
    sqlite3_finalize(snap);
    sqlite3_finalize(hist);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations() * 20 * pervalues);
    state.counters["values/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 20 * pervalues, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_bareinserts)->UseRealTime()->Unit(benchmark::kMillisecond);

// Keeps the rates of the two write benchmarks for the closing line.
class ratioreporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            auto it = r.counters.find("values/s");
            if (it == r.counters.end()) continue;
            if (r.benchmark_name().find("writesnaps") != std::string::npos) librate = it->second;
            if (r.benchmark_name().find("bareinserts") != std::string::npos) barerate = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    ratioreporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    if (librate > 0 && barerate > 0)
        std::printf("oxaapi writesnaps / bare inserts: %.2f (%.0f vs %.0f values/s)\n",
                    librate / barerate, librate, barerate);
    benchmark::Shutdown();
    return 0;
}
