// Request building and double formatting, ours against RapidJSON's Writer
// and snprintf.  Doubles are written as the shortest text that reads back
// exactly on both sides.  Prints the two throughput ratios (ours / theirs) at the end.
#include <benchmark/benchmark.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/numtext.h"
#include "dblink/oxawrite.h"

using namespace zo;

namespace {

// 10,000 values as a process would send them: mostly measured doubles and
// floats with all their digits, some counters and switch states, a few texts.
const std::vector<tagval>& values() {
    static const std::vector<tagval> v = [] {
        std::vector<tagval> r(10000);
        std::mt19937 rng(42);
        const double typical[] = {23.4567, 1013.25, 0.5,   100.0,  12.75,   4200.0,  -7.125, 0.0031,
                                  87.3,    230.1,   49.98, 1.2e-3, 65535.0, 3.14159, 18.0,   0.25};
        for (int i = 0; i < 10000; ++i) {
            tagval& t = r[i];
            t.time = 1700000000000LL + i * 37;
            char name[48];
            std::snprintf(name, sizeof name, "plant.area%d.unit%02d.tag%05d", i % 7, i % 31, i);
            t.name = name;
            t.quality = (i % 10 == 0) ? 192 : 0;
            int kind = static_cast<int>(rng() % 10);
            if (kind < 6) {
                // A measurement: a typical value scaled by a noisy factor, so
                // that it carries 15 to 17 significant digits; one in three is
                // a 32-bit float.
                t.vtype = kind < 2 ? 3 : 5;
                double x = typical[rng() % 16] * (1.0 + static_cast<double>(rng() % 1000000) / 7e6);
                t.vdouble = t.vtype == 3 ? static_cast<double>(static_cast<float>(x)) : x;
            } else if (kind < 9) {
                t.vtype = 1;
                t.vint = static_cast<int32_t>(rng() % 100000) - 1000;
            } else {
                t.vtype = 6;
                t.vbytes = (i % 2) ? "RUNNING" : "valve \"A\" open";
            }
        }
        return r;
    }();
    return v;
}

// The request text of the link's writer, with its value objects.
void oursrequest(zo::string& out) {
    out.clear();
    out.append("{\"request\":\"oxa_writesnaps\",\"seqno\":16777218,\"vals\":[");
    bool first = true;
    for (const tagval& t : values()) {
        if (!first) out.append(',');
        first = false;
        addvalueobject(out, t, true);
    }
    out.append("]}");
}

// The same text by RapidJSON's Writer, members left out by the same rules.
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
        w.String(t.name.data(), t.name.size());
        if (t.quality) {
            w.Key("Q");
            w.Int(static_cast<int>(t.quality));
        }
        w.Key("DT");
        w.Int(static_cast<int>(t.vtype));
        if (t.vtype == 1) {
            if (static_cast<int32_t>(t.vint) != 0) {
                w.Key("V");
                w.Int(static_cast<int32_t>(t.vint));
            }
        } else if (t.vtype == 3 || t.vtype == 5) {
            w.Key("V");
            w.Double(t.vdouble);
        } else if (!t.vbytes.empty()) {
            w.Key("V");
            w.String(t.vbytes.data(), t.vbytes.size());
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
        v.push_back(typical[i % 8] * (1.0 + static_cast<double>(rng() % 1000000) / 7e6));
    }
    return v;
}

void BM_double_ours(benchmark::State& st) {
    const std::vector<double> v = processvalues();
    char buf[zo::numtextmax];
    size_t total = 0;
    for (auto _ : st) {
        for (double d : v) total += zo::fmtshortest(buf, d);
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
            // CPU time: the machines this runs on are often shared, and wall
            // time then measures the neighbours.  With repetitions, the
            // median of them.
            if (r.run_type == Run::RT_Iteration && r.iterations > 0 &&
                !medians.count(r.run_name.str())) {
                ns[r.run_name.str()] = r.GetAdjustedCPUTime();
            } else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                medians.insert(r.run_name.str());
                ns[r.run_name.str()] = r.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> ns;
    std::set<std::string> medians;
};

}  // namespace

int main(int argc, char** argv) {
    // Both builders must produce the same text, else the race is unfair.
    zo::string ours;
    oursrequest(ours);
    rapidjson::StringBuffer theirs;
    theirrequest(theirs);
    if (ours.view() != std::string_view(theirs.GetString(), theirs.GetSize())) {
        // RapidJSON's Grisu2 digits are not always the shortest.
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
                  "request writer throughput, ours / RapidJSON Writer: %.2f (target >= 1.2)\n"
                  "double formatting throughput, ours / snprintf %%.17g: %.2f (target >= 2.0)\n",
                  ratio("BM_request_ours", "BM_request_rapidjson"),
                  ratio("BM_double_ours", "BM_double_snprintf"));
    // The reporter writes through std::cout: stay on the same stream.
    std::cout << line << std::flush;
    return 0;
}
