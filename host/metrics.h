// metrics.h - the daemon's counters as a Prometheus text file, for
// node_exporter's textfile collector.
//
// When the link configuration names a "metrics_path" directory, the host
// writes <dir>/quorvane_<instname>.prom every 10 s (by the env clock) and
// once more at stop.  The file is written whole to <name>.tmp and renamed
// over the old one, so the collector never reads half a file.  Every sample
// carries the label inst="<instname>", so several instances may share one
// directory.  What each counter means, and how they add up, is in
// docs/metrics.md.
//
// Thread-safety: metricstext and scancache are pure (scancache reads the
// directory through the env); a metricsfile belongs to one thread (the
// host's main thread).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "base/string_.h"
#include "dblink/velmarinst.h"

namespace zo {

struct metricsnap {
    uint64_t pkgsreceived = 0;  // packages cut out of the IO server's stream
    uint64_t pkgsrefused = 0;  // of those: a head or body that does not decode, an unknown function
    uint64_t valsreceived = 0;  // tag values in decoded packages, queued for the link
    uint64_t soesreceived = 0;
    velmarinst::stats_t link;
    bool connected = false;
    uint64_t cachefiles = 0;
    uint64_t cachebytes = 0;
    int64_t cacheoldestage = 0;  // seconds since the oldest file's period began; 0 without files
    int64_t lastwriteage = 0;    // seconds since the last write (since start before the first)
    uint64_t rssbytes = 0;
    double cpushare = 0;  // of the whole machine, 0..1, since the previous sample
};

// Appends the text of the file to out.
void metricstext(const metricsnap& m, std::string_view inst, zo::string& out);

// Counts the cache files ("ioch_<stamp>") of dir, their bytes and the age of
// the oldest against nowsec.
void scancache(std::string_view dir, int64_t nowsec, metricsnap* m);

class metricsfile {
  public:
    static constexpr int64_t everyms = 10000;

    // dir ends in '/' (an empty one turns the file off).
    void configure(std::string_view dir, std::string_view inst);
    bool on() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // True when a file is due at nowms (the first at once), and then not
    // again for everyms.
    bool due(int64_t nowms);
    // Writes text to the temporary file and renames it over the file; false
    // with errno set when either fails (the temporary file is removed).
    bool write(const zo::string& text);

  private:
    std::string path_;
    int64_t next_ = 0;
};

}  // namespace zo
