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

#include "bench/benchutil.h"
#include "dblink/oxafuncs.h"
#include "dblink/velmarinst.h"

using namespace zo;

namespace {

constexpr int tags = 10000;      // distinct tag names
constexpr int perpackage = 100;  // values per package, as the IO server sends them
constexpr int packages = 2000;   // 200,000 values per run
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

using bench::countresponse;
using bench::failures;
using bench::responses;
using bench::sent;
using bench::tmpdir;

// ---- the link: count the responses the library gives ---------------------------

int countingcallmsg(int h, const char* text, int length, oxa_responsefn fn, void* user) {
    bench::innerfn = fn;
    return oxa_callmsg(h, text, length, countresponse, user);
}

std::atomic<int> sentvalues{0};  // tag values in the requests sent

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
        velmarinst inst(nullptr, countingtable());
        if (const char* why = bench::startlink(inst, dir.path)) {
            state.SkipWithError(why);
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

void BM_bare(benchmark::State& state) {
    for (auto _ : state) {
        tmpdir dir;
        std::vector<std::string> names;
        for (int i = 0; i < tags; ++i) names.push_back(tagname(i));
        std::string err;
        double secs =
            bench::bareloop(dir.path + "rt.db", packages * perpackage, names, basetime, 1, &err);
        if (secs <= 0) {
            state.SkipWithError(err.empty() ? "a write failed" : err.c_str());
            return;
        }
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
