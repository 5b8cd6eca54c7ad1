#include "host/velmarhost.h"

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/dirs.h"
#include "base/env.h"
#include "base/url.h"
#include "host/console.h"
#include "host/hostpath.h"
#include "host/procstat.h"

namespace zo {

namespace {
void copytext(zo::string& dst, const char* src) {
    dst.release();
    if (src) dst.append(src);
}
}  // namespace

velmarhost::velmarhost() : link_(&log_), session_(*this, log_, link_) {}

velmarhost::~velmarhost() = default;

int velmarhost::start(const char* ipcurlarg, const char* logurlarg, const char* moddirarg,
                      const char* instnamearg, const char* cfgfile, const char* cachepatharg,
                      int32_t level) {
    // Until start-up is over, the reasons of a failure (errors and warnings)
    // also go to standard error: the log server may not be there to hear.
    struct echoguard {
        zo::udplog& l;
        ~echoguard() { l.echo(0); }
    } echo{log_};
    log_.echo(zo::LOG_WRN);

    copytext(ipcurl_, ipcurlarg);
    copytext(logurl_, logurlarg);
    copytext(moddir_, moddirarg);
    copytext(instname_, instnamearg);
    session_.setinstname(instname_);
    zo::normpath(moddir_);
    if (cachepatharg) {
        copytext(cachepath_, cachepatharg);
        zo::normpath(cachepath_);
    }

    if (!logurl_.empty()) {
        // The instance name becomes the log source: udp://h:999 -> udp://h:999/simu1.
        zo::normpath(logurl_);
        logurl_.append(instname_.view());
        zo::url check;
        if (!check.parse(logurlarg)) {
            if (check.unresolved) {
                std::printf("log url host %s does not resolve.\n", check.host.c_str());
            } else {
                std::printf("parse log url failed.\n");
            }
            std::fflush(stdout);
            return -1;
        }
        if (log_.open(logurl_.c_str()) == -1) {
            std::printf("log open failed.\n");
            std::fflush(stdout);
            return -1;
        }
        log_.setlevel(level);
    }
    log_.wlog(zo::LOG_INF, "\n  starting %s ...", version);

    if (mutex_.lock(instname_.c_str(), &log_) != 0) {
        // A name too long for the lock fails without a log line; say why
        // where a user sees it.
        if (instname_.size() + sizeof ".mutex" > instancelock::namesize) {
            std::fprintf(stderr,
                         "instance name %s is too long: its lock name %s.mutex takes more than "
                         "79 bytes.\n",
                         instname_.c_str(), instname_.c_str());
        }
        return -1;
    }

    zo::string path = cfgpath(moddir_.c_str(), cfgfile);
    if (link_.start(path.c_str(), instname_.c_str()) < 0) {
        log_.wlog(zo::LOG_ERR, "\nstart %s failed.", version);
        return -1;
    }
    metrics_.configure(link_.cfg().metrics_path.view(), instname_.view());
    if (metrics_.on()) log_.wlog(zo::LOG_INF, "metrics to %s every 10 s.", metrics_.path().c_str());

    if (!endpoint.parse(ipcurl_.c_str())) {
        log_.wlog(zo::LOG_ERR, "init ipc failed, url = %s.", ipcurl_.c_str());
        return -1;
    }
    if (!instname_.empty()) name = instname_;
    if (endpoint.port == 0 || endpoint.scheme.empty()) {
        log_.wlog(zo::LOG_ERR, "init ipc failed, url = %s.", ipcurl_.c_str());
        return -1;
    }
    log_.wlog(zo::LOG_INF, "start %s success. loglevel = %s", version, zo::levelword(level));
    return 0;
}

void velmarhost::stop(int sig) {
    if (sig != 0) log_.wlog(zo::LOG_INF, "recv sigval = %d", sig);
    log_.wlog(zo::LOG_INF, "stopping ...");
    link_.stop();
    // The last counts, after the link has put away what it held.
    if (metrics_.on()) writemetrics();
    log_.wlog(zo::LOG_INF, "stopped gracefully.\n");
    if (log_.isopen()) log_.shutdown();
}

int velmarhost::runconsole(console& con) {
    poll(&log_);
    for (;;) {
        if (int sig = console::pendingsignal()) return sig;
        if (session_.exitordered()) {
            ::signal(SIGTERM, SIG_IGN);
            // A SIGTERM that came in before the line above still counts.
            return console::pendingsignal();
        }
        // A pass with a socket has waited in the client already; a pass
        // without one returned at once, so the wait happens here.
        int key = con.waitkey(hassocket() ? 0 : zo::ipcwrk::waitms);
        if (key == 'q' || key == 'Q') return 0;
        if (console::pendingsignal()) continue;
        poll(&log_);
    }
}

void velmarhost::ontimer() {
    if (metrics_.due(zo::nowms())) writemetrics();
    session_.ontimer();
}

void velmarhost::writemetrics() {
    metricsnap m;
    const session::counts& c = session_.counted();
    m.pkgsreceived = c.pkgsreceived;
    m.pkgsrefused = c.pkgsrefused;
    m.valsreceived = c.valsreceived;
    m.soesreceived = c.soesreceived;
    link_.stats(&m.link);
    m.connected = link_.isconnected();
    int64_t now = zo::nowms();
    scancache(link_.cfg().cache_path.view(), now / 1000, &m);
    int64_t since = m.link.lastwritems > 0 ? m.link.lastwritems : session_.starttime();
    m.lastwriteage = now > since ? (now - since) / 1000 : 0;
    m.rssbytes = procstat::workingset();
    m.cpushare = procstat::samplecpu(metricscpu_) / 10000.0;
    zo::string text;
    text.reserve(8192);
    metricstext(m, instname_.view(), text);
    if (metrics_.write(text)) {
        if (metricsfailing_)
            log_.wlog(zo::LOG_INF, "metrics %s written again.", metrics_.path().c_str());
        metricsfailing_ = false;
    } else if (!metricsfailing_) {
        metricsfailing_ = true;
        log_.wlog(zo::LOG_ERR, "write metrics %s failed, %s.", metrics_.path().c_str(),
                  std::strerror(errno));
    }
}

}  // namespace zo
