#include "host/metrics.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <vector>

#include "base/env.h"
#include "cache/cachefile.h"

namespace zo {

namespace {

// A label value in the exposition format: backslash, double quote and
// newline escaped.
std::string labelvalue(std::string_view v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

class writer {
  public:
    writer(zo::string& out, std::string_view inst)
        : out_(out), inst_("inst=\"" + labelvalue(inst) + "\"") {}

    void family(const char* name, const char* type, const char* help) {
        out_.appendf("# HELP quorvane_%s %s\n# TYPE quorvane_%s %s\n", name, help, name, type);
    }
    void sample(const char* name, uint64_t v, const char* label = nullptr) {
        out_.appendf("quorvane_%s{%s%s%s} %" PRIu64 "\n", name, inst_.c_str(), label ? "," : "",
                     label ? label : "", v);
    }
    void sample(const char* name, int64_t v) {
        out_.appendf("quorvane_%s{%s} %" PRId64 "\n", name, inst_.c_str(), v);
    }
    void real(const char* name, double v) {
        out_.appendf("quorvane_%s{%s} %.6f\n", name, inst_.c_str(), v);
    }
    void counter(const char* name, const char* help, uint64_t v) {
        family(name, "counter", help);
        sample(name, v);
    }
    void gauge(const char* name, const char* help, int64_t v) {
        family(name, "gauge", help);
        sample(name, v);
    }

  private:
    zo::string& out_;
    std::string inst_;
};

// One kind of record (tag values or SOE records) on its way through the link.
void flowof(writer& w, const char* kind, const char* what, uint64_t received,
            const oxawriter::flow& f, uint64_t ringlost, uint64_t cachelost, uint64_t removed) {
    std::string n = std::string(kind) + "_";
    auto name = [&](const char* s) { return n + s; };
    std::string help;
    help = std::string(what) + " in decoded packages from the IO server.";
    w.counter(name("received_total").c_str(), help.c_str(), received);
    help = std::string(what) + " written to the database as they came (not from the cache).";
    w.counter(name("written_total").c_str(), help.c_str(), f.written);
    help = std::string(what) + " handed to the local cache (again when a replay is not written).";
    w.counter(name("cached_total").c_str(), help.c_str(), f.cached);
    help = std::string(what) + " read from the cache and written to history.";
    w.counter(name("replayed_total").c_str(), help.c_str(), f.replayed);
    help = std::string(what) + " whose name and time history held already, by road.";
    std::string dup = name("duplicate_total");
    w.family(dup.c_str(), "counter", help.c_str());
    w.sample(dup.c_str(), f.dups, "road=\"live\"");
    w.sample(dup.c_str(), f.replaydups, "road=\"replay\"");
    help = std::string(what) + " dropped, by reason.";
    std::string drop = name("dropped_total");
    w.family(drop.c_str(), "counter", help.c_str());
    w.sample(drop.c_str(), ringlost, "reason=\"ring_full\"");
    w.sample(drop.c_str(), f.nocache, "reason=\"no_cache\"");
    w.sample(drop.c_str(), f.refused, "reason=\"refused\"");
    w.sample(drop.c_str(), cachelost, "reason=\"cache_failed\"");
    w.sample(drop.c_str(), removed, "reason=\"cache_limit\"");
    w.sample(drop.c_str(), f.replayrefused, "reason=\"replay_refused\"");
}

}  // namespace

void metricstext(const metricsnap& m, std::string_view inst, zo::string& out) {
    writer w(out, inst);
    const velmarinst::stats_t& l = m.link;
    w.counter("packages_received_total", "Packages cut out of the IO server's stream.",
              m.pkgsreceived);
    w.counter("packages_refused_total",
              "Packages whose head or body did not decode, or of an unknown function.",
              m.pkgsrefused);
    flowof(w, "values", "Tag values", m.valsreceived, l.vals, l.ringlostvals, l.cachelostvals,
           l.removedvals);
    flowof(w, "soe", "SOE records", m.soesreceived, l.soes, l.ringlostsoes, l.cachelostsoes,
           l.removedsoes);

    w.family("ring_packages", "gauge", "Packages waiting for the writer, by ring.");
    w.sample("ring_packages", static_cast<uint64_t>(l.valqueued), "ring=\"values\"");
    w.sample("ring_packages", static_cast<uint64_t>(l.soequeued), "ring=\"soe\"");
    w.family("ring_slots", "gauge",
             "Packages a ring holds at most; a push into a full one drops "
             "its oldest.");
    w.sample("ring_slots", static_cast<uint64_t>(l.valslots), "ring=\"values\"");
    w.sample("ring_slots", static_cast<uint64_t>(l.soeslots), "ring=\"soe\"");

    w.gauge("database_connected", "1 while the database can be written.", m.connected ? 1 : 0);
    w.gauge("database_curdb",
            "The database in use (oxa_curdb): 0 master, 1 slave, -1 no client handle.", l.curdb);
    w.gauge("cache_files", "Files in the local cache.", static_cast<int64_t>(m.cachefiles));
    w.gauge("cache_bytes", "Bytes of the files in the local cache.",
            static_cast<int64_t>(m.cachebytes));
    w.gauge("cache_oldest_age_seconds",
            "Seconds since the period of the oldest cache file began; 0 without files.",
            m.cacheoldestage);
    w.gauge("last_write_age_seconds",
            "Seconds since the database last took a write (since start before the first).",
            m.lastwriteage);
    w.gauge("process_resident_bytes", "Resident set size of the process.",
            static_cast<int64_t>(m.rssbytes));
    w.family("process_cpu_share", "gauge",
             "CPU time of the process over the whole machine's, 0 to 1, since the last file.");
    w.real("process_cpu_share", m.cpushare);
}

void scancache(std::string_view dir, int64_t nowsec, metricsnap* m) {
    m->cachefiles = m->cachebytes = 0;
    m->cacheoldestage = 0;
    if (dir.empty()) return;
    zo::env* e = zo::env::current();
    std::vector<std::string> names;
    if (!e->children(std::string(dir), &names)) return;
    int64_t oldest = 0;
    for (const std::string& n : names) {
        if (n.compare(0, 5, "ioch_") != 0) continue;
        int64_t stamp = cachefile::stampofname(n);
        if (stamp <= 0) continue;
        int64_t size = e->filesize(std::string(dir) + n);
        if (size < 0) continue;  // gone meanwhile (replayed, removed)
        ++m->cachefiles;
        m->cachebytes += static_cast<uint64_t>(size);
        if (oldest == 0 || stamp < oldest) oldest = stamp;
    }
    if (oldest > 0 && nowsec > oldest) m->cacheoldestage = nowsec - oldest;
}

void metricsfile::configure(std::string_view dir, std::string_view inst) {
    path_.clear();
    next_ = 0;
    if (dir.empty()) return;
    path_.assign(dir);
    path_ += "quorvane_";
    // The instance name is a file name part here: a slash would point
    // elsewhere.
    for (char c : inst) path_ += (c == '/' || c == '\\') ? '_' : c;
    path_ += ".prom";
}

bool metricsfile::due(int64_t nowms) {
    if (path_.empty()) return false;
    if (next_ != 0 && nowms < next_ && nowms > next_ - 2 * everyms) return false;
    // A clock set back by more than a period starts the rhythm again.
    next_ = nowms + everyms;
    return true;
}

bool metricsfile::write(const zo::string& text) {
    zo::env* e = zo::env::current();
    std::string tmp = path_ + ".tmp";
    e->removefile(tmp);  // a leftover of a crash: appending to it would double it
    std::unique_ptr<zo::appendfile> f = e->openappend(tmp);
    bool ok = f && f->append(text.data(), text.size()) && f->close();
    if (ok && std::rename(tmp.c_str(), path_.c_str()) == 0) return true;
    int saved = errno;
    f.reset();
    e->removefile(tmp);
    errno = saved;
    return false;
}

}  // namespace zo
