// bench_protoc3 - our protocol-3 codec against Google's generated code on the
// same bytes, and the whole receive path of one compressed package.
//
// Arrays of 1,000 tag values with names of 16 to 40 bytes and mixed value
// types.  Every decode makes a fresh message, as the session does for each
// received package.  The ratios are printed at the end of the run.
// Build: -DZO_BENCH=ON -DCMAKE_BUILD_TYPE=Release.
#include <benchmark/benchmark.h>
#include <google/protobuf/arena.h>
#include <lz4.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "oracle_test.pb.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"

using namespace zo;

namespace {

void filltag(tagval& t, std::mt19937& rng, int i) {
    static const char* areas[] = {"Plant01", "Plant02", "Substation", "Boiler", "Turbine"};
    static const char* units[] = {"Feedwater", "Pump", "Valve", "Breaker", "Transformer"};
    static const char* what[] = {"Temperature.PV", "Pressure",          "Flow.SP", "State",
                                 "Current.A",      "ActivePower.Total", "Pos"};
    t.name.clear();
    t.name.appendf("%s.%s%02u.%s", areas[rng() % 5], units[rng() % 5],
                   static_cast<unsigned>(rng() % 100u), what[rng() % 7]);
    while (t.name.size() < 16) t.name.append('X');
    if (t.name.size() > 40) t.name.truncate(40);
    t.time = 1733400000000LL + i * 10;
    t.quality = rng() % 10 ? 192 : 0;
    switch (rng() % 10) {
        case 0:
        case 1:
        case 2:
        case 3:
            t.vtype = 5;
            t.vdouble = (rng() % 100000) / 7.0;
            break;
        case 4:
        case 5:
            t.vtype = 3;
            t.vdouble = static_cast<float>((rng() % 1000) / 3.0);
            break;
        case 6:
        case 7:
            t.vtype = 1 + rng() % 2;
            t.vint = static_cast<int32_t>(rng() % 200000) - 100000;
            break;
        case 8:
            t.vtype = 4;
            t.vint = static_cast<int64_t>(rng()) << 20;
            break;
        default:
            t.vtype = 6;
            t.vbytes.clear();
            t.vbytes.appendf("state-%u", static_cast<unsigned>(rng() % 50u));
            break;
    }
}

struct data {
    zo::string body;  // encoded body_objarray<pbo_tagval> of 1,000 values
    oracle::TagValArray google;
    zo::string pkg;        // one compressed package of about 30 KB
    uint32_t pkgbody = 0;  // offset of its LZ4 block
    uint32_t srcsize = 0;

    data() {
        std::mt19937 rng(7);
        tagvalarray a;
        for (int i = 0; i < 1000; ++i) filltag(*a.items.emplace(), rng, i);
        a.serialize(body);
        google.ParseFromArray(body.data(), static_cast<int>(body.size()));

        // Grow an array until its compressed package is about 30 KB.
        tagvalarray p;
        pb3head h;
        int i = 0;
        for (;;) {
            for (int k = 0; k < 50; ++k) filltag(*p.items.emplace(), rng, i++);
            h.ver = protover;
            h.funid = 3202;
            h.seqno = 1;
            pkgpb3::makepkg(h, p, pkg);
            if (pkg.size() >= 30000) break;
        }
        pkgbody = 8 + pkg.bytes()[3];
        srcsize = h.srcsize;
    }
};

data& d() {
    static data x;
    return x;
}

void ours_decode(benchmark::State& st) {
    const zo::string& b = d().body;
    for (auto _ : st) {
        tagvalarray a;
        a.items.reserve(100);
        if (!a.parse(b.data(), b.size())) st.SkipWithError("decode failed");
        benchmark::DoNotOptimize(a.items.size());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * b.size());
}
BENCHMARK(ours_decode);

void google_decode(benchmark::State& st) {
    const zo::string& b = d().body;
    for (auto _ : st) {
        oracle::TagValArray g;
        if (!g.ParseFromArray(b.data(), static_cast<int>(b.size()))) st.SkipWithError("parse");
        benchmark::DoNotOptimize(g.items_size());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * b.size());
}
BENCHMARK(google_decode);

void google_decode_arena(benchmark::State& st) {
    const zo::string& b = d().body;
    for (auto _ : st) {
        google::protobuf::Arena arena;
        auto* g = google::protobuf::Arena::CreateMessage<oracle::TagValArray>(&arena);
        if (!g->ParseFromArray(b.data(), static_cast<int>(b.size()))) st.SkipWithError("parse");
        benchmark::DoNotOptimize(g->items_size());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * b.size());
}
BENCHMARK(google_decode_arena);

void ours_encode(benchmark::State& st) {
    tagvalarray a;
    a.parse(d().body.data(), d().body.size());
    for (auto _ : st) {
        zo::string out;
        a.serialize(out);
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * d().body.size());
}
BENCHMARK(ours_encode);

void google_encode(benchmark::State& st) {
    const oracle::TagValArray& g = d().google;
    for (auto _ : st) {
        std::string out;
        g.SerializeToString(&out);
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * d().body.size());
}
BENCHMARK(google_encode);

// Split, parse the head, decompress and decode one ~30 KB package, as a
// receive event of up to 30720 bytes brings it.
void receive_path(benchmark::State& st) {
    const zo::string& pkg = d().pkg;
    pkgsplit sp;
    zo::string out;
    for (auto _ : st) {
        int r = pkgpb3::splitpkg(sp, pkg.data(), pkg.size(), out);
        pb3head h;
        tagvalarray a;
        a.items.reserve(100);
        if (r != 1 || !pkgpb3::parsehead(out, h) || !pkgpb3::parsebody(out, h, a))
            st.SkipWithError("receive failed");
        benchmark::DoNotOptimize(a.items.size());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * pkg.size());
}
BENCHMARK(receive_path);

void lz4_only(benchmark::State& st) {
    const zo::string& pkg = d().pkg;
    std::vector<char> buf(d().srcsize + 8);
    for (auto _ : st) {
        int n = LZ4_decompress_safe(pkg.data() + d().pkgbody, buf.data(),
                                    static_cast<int>(pkg.size() - d().pkgbody),
                                    static_cast<int>(buf.size()));
        benchmark::DoNotOptimize(n);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * pkg.size());
}
BENCHMARK(lz4_only);

// Keeps each run's time so that the ratios can be printed at the end.
class ratioreporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> ns;
    std::map<std::string, double> bps;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            ns[r.benchmark_name()] = r.GetAdjustedCPUTime();
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) bps[r.benchmark_name()] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    d();
    std::printf("body: %u bytes for 1000 tag values; package: %u bytes (%u before LZ4)\n",
                d().body.size(), d().pkg.size(), d().srcsize);
    ratioreporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    auto t = [&](const char* n) { return rep.ns.count(n) ? rep.ns[n] : 0.0; };
    auto ratio = [&](const char* a, const char* b) { return t(a) > 0 ? t(b) / t(a) : 0.0; };
    std::printf("\nratios of CPU time (higher is better for ours; targets in brackets)\n");
    std::printf("  decode vs google without arena: %.2fx  [>= 1.5]\n",
                ratio("ours_decode", "google_decode"));
    std::printf("  decode vs google with arena:    %.2fx  [>= 1.0]\n",
                ratio("ours_decode", "google_decode_arena"));
    std::printf("  encode vs google:               %.2fx  [>= 1.5]\n",
                ratio("ours_encode", "google_encode"));
    std::printf("  receive path: %.1f MB/s of package; lz4 alone: %.1f MB/s\n",
                rep.bps["receive_path"] / 1e6, rep.bps["lz4_only"] / 1e6);
    benchmark::Shutdown();
    return 0;
}
