// bench_cache - the local cache: how fast tag values go into cache files,
// what writing every block straight to the system costs against a buffered
// writer, and how fast cached values are replayed into SQLite as history.
//
// write:    localcache::puttagvals with packages of 100 tag values (as the IO
//           server sends them), 2,000,000 values into real files in a
//           temporary directory; each block is one append to the system.
//           Target: 1,000,000 values/s or more.
// buffered: the same, with an append file that gathers blocks in a 64 KB
//           user-space buffer (as a C stream would) and hands them to the
//           system only when it is full or closed.
// replay:   200,000 cached values read back block by block by the
//           maintenance step and written through the link's writer
//           ("oxa_insert", a few blocks in flight at a time) into SQLite by
//           the real client library; timed from the first block to the last
//           response.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/env.h"
#include "bench/benchutil.h"
#include "cache/cachemaint.h"
#include "cache/localcache.h"
#include "dblink/oxafuncs.h"
#include "dblink/oxawriter.h"

using namespace zo;

namespace {

constexpr int perpackage = 100;
constexpr int writevalues = 2000000;
constexpr int replayvalues = 200000;
constexpr int tags = 10000;
constexpr int64_t clockstart = 1700000400;  // a period start, in seconds

double writerate = 0;
double bufferedrate = 0;
double replayrate = 0;
uint64_t writebytes = 0;

using bench::countresponse;
using bench::failures;
using bench::responses;
using bench::sent;
using bench::tmpdir;

uint64_t dirbytes(const std::string& dir) {
    uint64_t n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) n += e.file_size(ec);
    return n;
}

std::vector<tagvalarray*> packages(int values) {
    std::vector<tagvalarray*> out;
    for (int first = 0; first < values; first += perpackage) {
        auto* b = new tagvalarray;
        b->items.reserve(perpackage);
        for (int i = first; i < first + perpackage; ++i) {
            tagval t;
            char name[32];
            snprintf(name, sizeof name, "bench.tag%05d", i % tags);
            t.name = name;
            t.time = (17000004000000LL + i) * 100;
            t.quality = 192;
            t.vtype = 5;
            t.vdouble = i * 0.25 + 0.125;
            b->items.append(std::move(t));
        }
        out.push_back(b);
    }
    return out;
}

void freeall(std::vector<tagvalarray*>& pk) {
    for (auto* b : pk) delete b;
    pk.clear();
}

// ---- a buffered append file, the yardstick of the write-through choice --------

class bufferedfile : public zo::appendfile {
  public:
    explicit bufferedfile(std::unique_ptr<zo::appendfile> f) : f_(std::move(f)) {
        buf_.reserve(65536);
    }
    ~bufferedfile() override { close(); }
    bool append(const void* p, size_t n) override {
        if (buf_.size() + n > 65536 && !drain()) return false;
        if (n >= 65536) return f_->append(p, n);
        buf_.insert(buf_.end(), static_cast<const char*>(p), static_cast<const char*>(p) + n);
        return true;
    }
    bool sync() override { return drain() && f_->sync(); }
    bool close() override {
        bool ok = drain();
        return f_->close() && ok;
    }
    uint64_t size() const override { return f_->size() + buf_.size(); }
    bool truncate(uint64_t n) override { return drain() && f_->truncate(n); }

  private:
    bool drain() {
        if (buf_.empty()) return true;
        bool ok = f_->append(buf_.data(), buf_.size());
        buf_.clear();
        return ok;
    }
    std::unique_ptr<zo::appendfile> f_;
    std::vector<char> buf_;
};

class bufferedenv : public zo::fakeclockenv {
  public:
    explicit bufferedenv(int64_t ms) : fakeclockenv(ms) {}
    std::unique_ptr<zo::appendfile> openappend(const std::string& p) override {
        auto f = fakeclockenv::openappend(p);
        if (!f) return nullptr;
        return std::make_unique<bufferedfile>(std::move(f));
    }
};

void writeonce(benchmark::State& state, zo::env* e, double* best) {
    zo::scopedenv scope(e);
    std::vector<tagvalarray*> pk = packages(writevalues);
    tmpdir dir;
    localcache cache;
    cache.configure(dir.path, 1000, 8);
    auto t0 = std::chrono::steady_clock::now();
    for (tagvalarray* b : pk) cache.puttagvals(b);
    cache.closewriter();  // the sync at the end of the period is part of the cost
    auto t1 = std::chrono::steady_clock::now();
    double secs = std::chrono::duration<double>(t1 - t0).count();
    state.SetIterationTime(secs);
    double rate = writevalues / secs;
    if (rate > *best) *best = rate;
    writebytes = dirbytes(dir.path);
    if (cache.writefailures() || cache.droppedrecords()) state.SkipWithError("writes failed");
    freeall(pk);
}

void BM_write(benchmark::State& state) {
    zo::fakeclockenv clock(clockstart * 1000 + 5000);
    for (auto _ : state) writeonce(state, &clock, &writerate);
    state.counters["best values/s"] = writerate;
    state.SetItemsProcessed(state.iterations() * writevalues);
}

void BM_buffered(benchmark::State& state) {
    bufferedenv clock(clockstart * 1000 + 5000);
    for (auto _ : state) writeonce(state, &clock, &bufferedrate);
    state.counters["best values/s"] = bufferedrate;
    state.SetItemsProcessed(state.iterations() * writevalues);
}

// ---- replay into SQLite --------------------------------------------------------

const oxafuncs* countingtable() {
    static oxafuncs t = *oxadefault();
    t.callmsg = [](int h, const char* text, int length, oxa_responsefn fn, void* user) {
        bench::innerfn = fn;
        int r = oxa_callmsg(h, text, length, countresponse, user);
        if (r == 0) {
            sent.fetch_add(1, std::memory_order_release);
        } else {
            failures.fetch_add(1);
        }
        return r;
    };
    return &t;
}

// A library handle on rt.db in dir, connected; -1 when it does not connect
// within 10 s.
int connecteddb(const std::string& dir) {
    static std::atomic<bool> up{false};
    up.store(false);
    int h = oxa_create();
    if (h < 0) return -1;
    oxa_setmessagenotify(
        h, [](int code, const char*, void*) { up.store(code == OXA_CONNECTED); }, nullptr);
    std::string url = "sqlite://localhost" + dir + "rt.db";
    if (oxa_connectex(h, url.c_str(), "", "", 0) == 0) {
        for (int i = 0; i < 2000 && !up.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (up.load()) return h;
    oxa_destory(h);
    return -1;
}

void BM_replay(benchmark::State& state) {
    for (auto _ : state) {
        tmpdir dir;
        std::string cachedir = dir.path + "cache/";
        std::filesystem::create_directory(cachedir);
        zo::fakeclockenv clock(clockstart * 1000 + 5000);
        zo::scopedenv scope(&clock);
        {
            localcache fill;
            fill.configure(cachedir, 1000, 8);
            std::vector<tagvalarray*> pk = packages(replayvalues);
            for (tagvalarray* b : pk) fill.puttagvals(b);
            freeall(pk);
        }
        int h = connecteddb(dir.path);
        if (h < 0) {
            state.SkipWithError("no database");
            return;
        }
        oxawriter::valring ring(nullptr);
        std::atomic<uint8_t> connected{1};
        oxawriter writer(nullptr, countingtable(), &ring, &connected, nullptr);
        writer.sethandle(h);
        localcache cache;
        cache.configure(cachedir, 1000, 8);
        clock.setms((clockstart + 600 + 15) * 1000);
        cachemaint m(&cache, &writer, nullptr);
        responses.store(0);
        sent.store(0);
        failures.store(0);
        std::string file = cachedir + "ioch_" + std::to_string(clockstart);
        auto t0 = std::chrono::steady_clock::now();
        while (std::filesystem::exists(file)) {
            writer.settle();
            if (m.step(true, false) != 0) continue;
            if (cache.reader.isopen()) {
                writer.waitanswer(std::chrono::milliseconds(1));
            } else {
                clock.advancems(1000);  // to the next scan
            }
        }
        bench::waitanswered();
        auto t1 = std::chrono::steady_clock::now();
        oxa_destory(h);
        writer.settle();
        double secs = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(secs);
        double rate = replayvalues / secs;
        if (rate > replayrate) replayrate = rate;
        if (failures.load() || m.historyvals() != 0) state.SkipWithError("replay incomplete");
    }
    state.counters["best values/s"] = replayrate;
    state.SetItemsProcessed(state.iterations() * replayvalues);
}

BENCHMARK(BM_write)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_buffered)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_replay)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (writerate > 0) {
        printf("cache write: %.0f values/s (target >= 1000000)%s, %.1f bytes per value on disk\n",
               writerate, writerate >= 1e6 ? "" : " BELOW TARGET",
               static_cast<double>(writebytes) / writevalues);
    }
    if (writerate > 0 && bufferedrate > 0) {
        printf("write-through vs buffered: %.0f / %.0f values/s, ratio %.2f\n", writerate,
               bufferedrate, writerate / bufferedrate);
    }
    if (replayrate > 0) printf("cache replay into SQLite: %.0f values/s\n", replayrate);
    return 0;
}
