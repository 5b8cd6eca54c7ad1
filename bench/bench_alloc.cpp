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
// The machine is shared: every pattern is timed in the CPU time of its
// threads (for the hand-off, the session's and the writer's added up),
// which a preemption does not inflate.
//
// Patterns, all on the real code:
//   handoff  the session decodes 1,000-value bodies on one thread and pushes
//            them into a package ring; the writer thread pops and deletes
//            them, up to 64 bodies behind (CPU time of both per body);
//   decode   decode a 1,000-value body and delete it, one thread;
//   strings  strings grown from empty by 8-byte appends to 64 B, 1 KB,
//            20 KB and 300 KB, then released (time per set of four);
//   json     "oxa_writesnaps" requests for 1,000 values, built as the writer
//            builds them (time per 1,000 values).
//
// Build: make bench (-DZO_BENCH=ON -DCMAKE_BUILD_TYPE=Release).
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <semaphore>
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

using namespace zo;

namespace {

// CPU time of the calling thread in ns.
double threadns() {
    timespec ts;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e9 + ts.tv_nsec;
}

constexpr int values = 1000;      // per body
constexpr int bodies = 1000;      // per timed run of handoff and decode
constexpr int setcount = 1000;    // string sets per timed run
constexpr int requests = 1000;    // bodies' worth of JSON per timed run
constexpr int rounds = 5;         // runs of every program
constexpr int tries = 3;          // timed runs of each pattern in one program
constexpr size_t ringlimit = 64;  // the session stays this far ahead at most

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

double runhandoff(const zo::string& enc) {
    pkgring<tagvalbody, 8192> ring(nullptr);
    // The two threads sleep while they wait for each other, so that their
    // CPU time is their work (and the allocator's spinning) alone.
    std::counting_semaphore<> ready(0), room(ringlimit);
    std::atomic<int> bad{0};
    std::atomic<double> writerns{0};
    std::thread writer([&] {
        double t0 = threadns();
        for (int got = 0; got < bodies; ++got) {
            ready.acquire();
            tagvalbody* b = ring.pop();
            if (!b || b->items.size() != values) bad.fetch_add(1);
            delete b;
            room.release();
        }
        writerns = threadns() - t0;
    });
    double t0 = threadns();
    for (int i = 0; i < bodies; ++i) {
        room.acquire();
        tagvalbody* b = decode(enc);
        ring.push(b);  // a null one is not queued, and the writer counts it
        ready.release();
    }
    double sessionns = threadns() - t0;
    writer.join();
    return bad.load() ? -1 : (sessionns + writerns.load()) / bodies;
}

double rundecode(const zo::string& enc) {
    double t0 = threadns();
    for (int i = 0; i < bodies; ++i) {
        tagvalbody* b = decode(enc);
        if (!b) return -1;
        delete b;
    }
    return (threadns() - t0) / bodies;
}

double runstrings() {
    static const uint32_t lengths[] = {64, 1000, 20000, 300000};
    const char piece[9] = "abcdefgh";
    size_t check = 0;
    double t0 = threadns();
    for (int i = 0; i < setcount; ++i) {
        for (uint32_t len : lengths) {
            zo::string s;
            while (s.size() < len) {
                if (!s.append(piece, 8)) return -1;
            }
            check += s.size();
        }
    }
    double ns = (threadns() - t0) / setcount;
    return check ? ns : -1;
}

double runjson(const zo::string& enc) {
    tagvalbody b;
    if (!b.parse(enc.data(), enc.size())) return -1;
    size_t check = 0;
    double t0 = threadns();
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
    double ns = (threadns() - t0) / requests;
    return check ? ns : -1;
}

// ---- one program's run -------------------------------------------------------

// The best of tries runs; -1 when one failed.
template <class F>
double best(F run) {
    double b = 0;
    for (int i = 0; i < tries; ++i) {
        double ns = run();
        if (ns < 0) return -1;
        if (i == 0 || ns < b) b = ns;
    }
    return b;
}

// Runs every pattern and prints "pattern ns" lines.
int runall() {
    zo::string enc = encodedbody();
    void* probe = zo::zo_alloc(1);
    std::printf("backend %s %s usable1 %zu\n", backend(), backendversion().c_str(),
                zo::zo_usable(probe));
    zo::zo_free(probe);
    rundecode(enc);  // warm up: the first segments, malloc's arenas
    std::printf("handoff %.0f\n", best([&] { return runhandoff(enc); }));
    std::printf("decode %.0f\n", best([&] { return rundecode(enc); }));
    std::printf("strings %.0f\n", best(runstrings));
    std::printf("json %.0f\n", best([&] { return runjson(enc); }));
    return 0;
}

#if !defined(ZO_HEAP)
struct figures {
    std::map<std::string, double> ns;  // by pattern; absent when it failed
};

const char* const patterns[] = {"handoff", "decode", "strings", "json"};
const char* const peers[] = {"glibc", "mimalloc", "jemalloc"};

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
#endif

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
