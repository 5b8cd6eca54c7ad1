// Request building and double formatting, ours against RapidJSON's Writer
// and snprintf.  Prints the two throughput ratios (ours / theirs) at the end.
#include <benchmark/benchmark.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/jsonwrite.h"
#include "base/numtext.h"

namespace {

struct tagval {
    int64_t time;
    std::string name;
    int32_t quality;
    int32_t vtype;  // 1 integer, 5 double, 6 text
    int64_t vint;
    double vdouble;
    std::string vtext;
};

// 10,000 values as a process would send them: mostly doubles with a few
// decimals, some counters and switch states, a few texts.
const std::vector<tagval>& values() {
    static const std::vector<tagval> v = [] {
        std::vector<tagval> r;
        std::mt19937 rng(42);
        const double typical[] = {23.4567, 1013.25, 0.5,   100.0,  12.75,   4200.0,  -7.125, 0.0031,
                                  87.3,    230.1,   49.98, 1.2e-3, 65535.0, 3.14159, 18.0,   0.25};
        for (int i = 0; i < 10000; ++i) {
            tagval t;
            t.time = 1700000000000LL + i * 37;
            char name[48];
            std::snprintf(name, sizeof name, "plant.area%d.unit%02d.tag%05d", i % 7, i % 31, i);
            t.name = name;
            t.quality = (i % 10 == 0) ? 192 : 0;
            int kind = static_cast<int>(rng() % 10);
            if (kind < 6) {
                t.vtype = 5;
                // At most four decimals, so that the shortest text of
                // RapidJSON and our fixed-point text are the same digits.
                double x = typical[rng() % 16] * (1.0 + static_cast<double>(rng() % 1000) / 1000);
                t.vdouble = std::round(x * 10000) / 10000;
            } else if (kind < 9) {
                t.vtype = 1;
                t.vint = static_cast<int32_t>(rng() % 100000) - 1000;
            } else {
                t.vtype = 6;
                t.vtext = (i % 2) ? "RUNNING" : "valve \"A\" open";
            }
            t.vint = t.vtype == 1 ? t.vint : 0;
            r.push_back(t);
        }
        return r;
    }();
    return v;
}

void oursrequest(zo::string& out) {
    out.clear();
    out.append("{\"request\":\"oxa_writesnaps\",\"seqno\":16777218,\"vals\":[");
    bool first = true;
    for (const tagval& t : values()) {
        if (!first) out.append(',');
        first = false;
        out.append('{');
        int n = 0;
        zo::jsonaddtime(out, n, t.time, zo::JSONTIME_MS);
        zo::jsonaddtext(out, n, "N", t.name);
        zo::jsonaddint(out, n, "Q", t.quality);
        zo::jsonaddint(out, n, "DT", t.vtype);
        if (t.vtype == 1) {
            zo::jsonaddint(out, n, "V", static_cast<int32_t>(t.vint));
        } else if (t.vtype == 5) {
            zo::jsonaddkey(out, n, "V");
            zo::jsonadddouble(out, t.vdouble);
        } else {
            zo::jsonaddtext(out, n, "V", t.vtext);
        }
        out.append('}');
    }
    out.append("]}");
}

void theirrequest(rapidjson::StringBuffer& sb) {
    sb.Clear();
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    w.StartObject();
    w.Key("request");
    w.String("oxa_writesnaps");
    w.Key("seqno");
    w.Int(16777218);
    w.Key("vals");
    w.StartArray();
    for (const tagval& t : values()) {
        w.StartObject();
        w.Key("T");
        w.Int64(t.time);
        w.Key("N");
        w.String(t.name.data(), static_cast<rapidjson::SizeType>(t.name.size()));
        if (t.quality) {
            w.Key("Q");
            w.Int(t.quality);
        }
        w.Key("DT");
        w.Int(t.vtype);
        w.Key("V");
        if (t.vtype == 1) {
            w.Int(static_cast<int32_t>(t.vint));
        } else if (t.vtype == 5) {
            w.Double(t.vdouble);
        } else {
            w.String(t.vtext.data(), static_cast<rapidjson::SizeType>(t.vtext.size()));
        }
        w.EndObject();
    }
    w.EndArray();
    w.EndObject();
}

void BM_request_ours(benchmark::State& st) {
    zo::string out;
    for (auto _ : st) {
        oursrequest(out);
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * out.size());
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * 10000);
}
BENCHMARK(BM_request_ours);

void BM_request_rapidjson(benchmark::State& st) {
    rapidjson::StringBuffer sb;
    for (auto _ : st) {
        theirrequest(sb);
        benchmark::DoNotOptimize(sb.GetString());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * sb.GetSize());
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * 10000);
}
BENCHMARK(BM_request_rapidjson);

std::vector<double> processvalues() {
    std::vector<double> v;
    std::mt19937 rng(9);
    const double typical[] = {23.4567, 1013.25, 0.5, 100.0, 12.75, 4200.0, -7.125, 0.0031};
    for (int i = 0; i < 4096; ++i) {
        v.push_back(typical[i % 8] + static_cast<double>(rng() % 10000) / 100);
    }
    return v;
}

void BM_double_ours(benchmark::State& st) {
    const std::vector<double> v = processvalues();
    char buf[zo::numtextmax];
    size_t total = 0;
    for (auto _ : st) {
        for (double d : v) total += zo::fmtdouble(buf, d);
        benchmark::DoNotOptimize(buf);
    }
    benchmark::DoNotOptimize(total);
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * v.size());
}
BENCHMARK(BM_double_ours);

void BM_double_snprintf(benchmark::State& st) {
    const std::vector<double> v = processvalues();
    char buf[32];
    size_t total = 0;
    for (auto _ : st) {
        for (double d : v) total += std::snprintf(buf, sizeof buf, "%.17g", d);
        benchmark::DoNotOptimize(buf);
    }
    benchmark::DoNotOptimize(total);
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * v.size());
}
BENCHMARK(BM_double_snprintf);

// Keeps the time per iteration of each benchmark for the ratios.
class ratioreporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration && r.iterations > 0) {
                // CPU time: the machines this runs on are often shared, and
                // wall time then measures the neighbours.
                ns[r.benchmark_name()] = r.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> ns;
};

}  // namespace

int main(int argc, char** argv) {
    // Both builders must produce the same text, else the race is unfair.
    zo::string ours;
    oursrequest(ours);
    rapidjson::StringBuffer theirs;
    theirrequest(theirs);
    if (ours.view() != std::string_view(theirs.GetString(), theirs.GetSize())) {
        std::printf("note: the request texts differ: ours %u, RapidJSON %zu bytes\n", ours.size(),
                    theirs.GetSize());
    } else {
        std::printf("both writers build the same request text of %u bytes\n", ours.size());
    }

    benchmark::Initialize(&argc, argv);
    ratioreporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    benchmark::Shutdown();
    auto ratio = [&](const char* a, const char* b) {
        if (!rep.ns.count(a) || !rep.ns.count(b) || rep.ns[a] <= 0) return 0.0;
        return rep.ns[b] / rep.ns[a];  // throughput ratio = inverse time ratio
    };
    char line[160];
    std::snprintf(line, sizeof line,
                  "request writer throughput, ours / RapidJSON Writer: %.2f (target >= 1.0)\n"
                  "double formatting throughput, ours / snprintf %%.17g: %.2f (target >= 2.0)\n",
                  ratio("BM_request_ours", "BM_request_rapidjson"),
                  ratio("BM_double_ours", "BM_double_snprintf"));
    // The reporter writes through std::cout: stay on the same stream.
    std::cout << line << std::flush;
    return 0;
}
