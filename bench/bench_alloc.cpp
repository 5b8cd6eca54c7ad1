// bench_alloc - Quorvane's own allocation pattern with the pooled allocator
// against glibc's malloc, mimalloc and jemalloc.
//
// Each allocator replaces or owns malloc for a whole process, so each runs
// in a program of its own, built from this same file and differing only in
// what serves zo_alloc: bench_alloc itself (the pool, as Quorvane is built),
// and allocpeer_glibc, allocpeer_mimalloc and allocpeer_jemalloc (the heap
// build of base/alloc.cpp, over glibc's malloc or over mimalloc or jemalloc
// linked in to replace malloc, as those libraries are meant to be used).
// bench_alloc runs itself and the peers with --run, by turns over several
// rounds, keeps each program's best time for each pattern and prints the
// ratios (peer's time / pool's time: above 1.00 the pool is faster).
//
// Patterns, all on the real code:
//   handoff  the session decodes 1,000-value bodies on one thread and pushes
//            them into a package ring; the writer thread pops and deletes
//            them (time per body, both threads running);
//   decode   decode a 1,000-value body and delete it, one thread;
//   strings  strings grown from empty by 8-byte appends to 64 B, 1 KB,
//            20 KB and 300 KB, then released (time per set of four);
//   json     "oxa_writesnaps" requests for 1,000 values, built as the writer
//            builds them (time per 1,000 values).
//
// Build: make bench (-DZO_BENCH=ON -DCMAKE_BUILD_TYPE=Release).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "dblink/dbtypes.h"
#include "dblink/oxawrite.h"
#include "dblink/pkgring.h"

#if defined(ZO_PEER_MIMALLOC)
#include <mimalloc.h>
#elif defined(ZO_PEER_JEMALLOC)
#include <jemalloc/jemalloc.h>
#endif

namespace {

using clk = std::chrono::steady_clock;

constexpr int values = 1000;      // per body
constexpr int bodies = 2000;      // per timed run of handoff and decode
constexpr int setcount = 2000;    // string sets per timed run
constexpr int requests = 2000;    // bodies' worth of JSON per timed run
constexpr int rounds = 3;         // runs of every program
constexpr size_t ringlimit = 64;  // the session stays this far ahead at most

const char* const peers[] = {"glibc", "mimalloc", "jemalloc"};

// The allocator behind zo_alloc in this program.
const char* backend() {
#if defined(ZO_PEER_MIMALLOC)
    return "mimalloc";
#elif defined(ZO_PEER_JEMALLOC)
    return "jemalloc";
#elif defined(ZO_HEAP)
    return "glibc";
#else
    return "pool";
#endif
}

// Its version, which also keeps the replacement library on the link line.
std::string backendversion() {
#if defined(ZO_PEER_MIMALLOC)
    return std::to_string(mi_version());
#elif defined(ZO_PEER_JEMALLOC)
    const char* v = nullptr;
    size_t n = sizeof v;
    return mallctl("version", &v, &n, nullptr, 0) == 0 ? v : "?";
#else
    return "-";
#endif
}

// 1,000 tag values as a plant sends them: names of 16 to 40 bytes, mostly
// doubles, some integers and texts.
zo::string encodedbody() {
    static const char* areas[] = {"Plant01", "Plant02", "Substation", "Boiler", "Turbine"};
    static const char* units[] = {"Feedwater", "Pump", "Valve", "Breaker", "Transformer"};
    static const char* what[] = {"Temperature.PV", "Pressure", "Flow.SP", "State", "Current.A"};
    std::mt19937 rng(7);
    tagvalbody b;
    for (int i = 0; i < values; ++i) {
        tagval& t = *b.items.emplace();
        t.name.appendf("%s.%s%02u.%s", areas[rng() % 5], units[rng() % 5],
                       static_cast<unsigned>(rng() % 100u), what[rng() % 5]);
        t.time = 1733400000000LL + i * 10;
        t.quality = rng() % 10 ? 192 : 0;
        switch (rng() % 10) {
            case 0:
            case 1:
                t.vtype = 1;
                t.vint = static_cast<int32_t>(rng() % 200000) - 100000;
                break;
            case 2:
                t.vtype = 6;
                t.vbytes.appendf("state-%u", static_cast<unsigned>(rng() % 50u));
                break;
            default:
                t.vtype = 5;
                t.vdouble = (rng() % 100000) / 7.0;
                break;
        }
    }
    zo::string out;
    b.serialize(out);
    return out;
}

// A body decoded as the session does it: a fresh heap body per package.
tagvalbody* decode(const zo::string& enc) {
    auto* b = new (std::nothrow) tagvalbody();
    if (!b) return nullptr;
    b->items.reserve(values);
    if (!b->parse(enc.data(), enc.size())) {
        delete b;
        return nullptr;
    }
    return b;
}

double since(clk::time_point t0) {
    return std::chrono::duration<double, std::nano>(clk::now() - t0).count();
}

double runhandoff(const zo::string& enc) {
    pkgring<tagvalbody, 8192> ring(nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    auto t0 = clk::now();
    std::thread writer([&] {
        int got = 0;
        while (got < bodies) {
            tagvalbody* b = ring.pop();
            if (!b) {
                if (done.load(std::memory_order_acquire) && ring.size() == 0) break;
                std::this_thread::yield();
                continue;
            }
            if (b->items.size() != values) bad.fetch_add(1);
            delete b;
            ++got;
        }
    });
    for (int i = 0; i < bodies; ++i) {
        while (ring.size() > ringlimit) std::this_thread::yield();
        tagvalbody* b = decode(enc);
        if (!b) bad.fetch_add(1);
        ring.push(b);
    }
    done.store(true, std::memory_order_release);
    writer.join();
    double ns = since(t0) / bodies;
    return bad.load() ? -1 : ns;
}

double rundecode(const zo::string& enc) {
    auto t0 = clk::now();
    for (int i = 0; i < bodies; ++i) {
        tagvalbody* b = decode(enc);
        if (!b) return -1;
        delete b;
    }
    return since(t0) / bodies;
}

double runstrings() {
    static const uint32_t lengths[] = {64, 1000, 20000, 300000};
    const char piece[9] = "abcdefgh";
    size_t check = 0;
    auto t0 = clk::now();
    for (int i = 0; i < setcount; ++i) {
        for (uint32_t len : lengths) {
            zo::string s;
            while (s.size() < len) {
                if (!s.append(piece, 8)) return -1;
            }
            check += s.size();
        }
    }
    double ns = since(t0) / setcount;
    return check ? ns : -1;
}

double runjson(const zo::string& enc) {
    tagvalbody b;
    if (!b.parse(enc.data(), enc.size())) return -1;
    size_t check = 0;
    auto t0 = clk::now();
    for (int i = 0; i < requests; ++i) {
        // As velmarinst::write_snapshots: a text reserved for one request,
        // closed once it passes 64,000 bytes.
        zo::string text;
        text.reserve(64000);
        bool open = false;
        for (const tagval& t : b.items) {
            if (!open) {
                text.appendf("{\"request\":\"oxa_writesnaps\",\"seqno\":%d,\"vals\":[", i);
                open = true;
            } else {
                text.append(',');
            }
            addvalueobject(text, t, true);
            if (text.size() >= 64000) {
                text.append("]}");
                check += text.size();
                text.clear();
                open = false;
            }
        }
        if (open) text.append("]}");
        check += text.size();
    }
    double ns = since(t0) / requests;
    return check ? ns : -1;
}

// ---- one program's run -------------------------------------------------------

struct figures {
    std::map<std::string, double> ns;  // by pattern; absent when it failed
};

const char* const patterns[] = {"handoff", "decode", "strings", "json"};

// Runs every pattern once and prints "pattern ns" lines.
int runall() {
    zo::string enc = encodedbody();
    void* probe = zo::zo_alloc(1);
    std::printf("backend %s %s usable1 %zu\n", backend(), backendversion().c_str(),
                zo::zo_usable(probe));
    zo::zo_free(probe);
    rundecode(enc);  // warm up: the first segments, malloc's arenas
    std::printf("handoff %.0f\n", runhandoff(enc));
    std::printf("decode %.0f\n", rundecode(enc));
    std::printf("strings %.0f\n", runstrings());
    std::printf("json %.0f\n", runjson(enc));
    return 0;
}

// Runs program --run and reads its figures; false when it cannot be run.
bool runchild(const std::string& program, figures* f, std::string* banner) {
    int fd[2];
    if (::pipe(fd) != 0) return false;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fd[1], 1);
        ::close(fd[0]);
        ::close(fd[1]);
        ::execl(program.c_str(), program.c_str(), "--run", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fd[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fd[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fd[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(pos, end - pos);
        pos = end + 1;
        if (line.rfind("backend ", 0) == 0) {
            *banner = line.substr(8);
            continue;
        }
        char name[32];
        double ns = 0;
        if (std::sscanf(line.c_str(), "%31s %lf", name, &ns) == 2 && ns > 0) {
            auto it = f->ns.find(name);
            if (it == f->ns.end() || ns < it->second) f->ns[name] = ns;
        }
    }
    return true;
}

std::string selfpath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--run") == 0) return runall();
#if defined(ZO_HEAP)
    std::fprintf(stderr, "%s: a peer program; run bench_alloc\n", argv[0]);
    return 2;
#else
    std::string self = selfpath();
    std::string dir = self.substr(0, self.rfind('/') + 1);
    figures pool;
    std::map<std::string, figures> peer;
    std::map<std::string, std::string> banner;
    bool ok = true;
    for (int r = 0; r < rounds; ++r) {
        ok = runchild(self, &pool, &banner["pool"]) && ok;
        for (const char* p : peers)
            ok = runchild(dir + "allocpeer_" + p, &peer[p], &banner[p]) && ok;
    }
    for (const auto& b : banner) std::printf("alloc: %-8s %s\n", b.first.c_str(), b.second.c_str());
    std::printf("alloc: best of %d runs, ns per unit; ratio = peer / pool (> 1: pool faster)\n",
                rounds);
    std::printf("alloc: %-8s %10s", "pattern", "pool");
    for (const char* p : peers) std::printf(" %10s %6s", p, "ratio");
    std::printf("\n");
    for (const char* pat : patterns) {
        auto mine = pool.ns.find(pat);
        std::printf("alloc: %-8s %10.0f", pat, mine == pool.ns.end() ? -1.0 : mine->second);
        for (const char* p : peers) {
            auto theirs = peer[p].ns.find(pat);
            if (mine == pool.ns.end() || theirs == peer[p].ns.end()) {
                std::printf(" %10s %6s", "-", "-");
                ok = false;
                continue;
            }
            std::printf(" %10.0f %6.2f", theirs->second, theirs->second / mine->second);
        }
        std::printf("\n");
    }
    std::printf("alloc: targets: >= 1.00 x glibc on handoff and decode; >= 0.70 x mimalloc\n");
    if (!ok) std::printf("alloc: a program or a pattern failed (see above)\n");
    return ok ? 0 : 1;
#endif
}
