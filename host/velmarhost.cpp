#include "host/velmarhost.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "base/dirs.h"
#include "base/env.h"
#include "host/console.h"
#include "host/hostpath.h"
#include "ipc/url.h"

namespace {
void copytext(zo::string& dst, const char* src) {
    dst.release();
    if (src) dst.append(src);
}
}  // namespace

velmarhost::velmarhost()
    : pid(static_cast<uint32_t>(::getpid())),
      link(&log),
      lastinfosec(zo::nowsec()),
      starttime(zo::nowms()) {}

velmarhost::~velmarhost() = default;

int velmarhost::start(const char* ipcurlarg, const char* logurlarg, const char* moddirarg,
                      const char* instnamearg, const char* cfgfile, const char* cachepatharg,
                      int32_t level) {
    // Until start-up is over, the reasons of a failure (errors and warnings)
    // also go to standard error: the log server may not be there to hear.
    struct echoguard {
        zo::udplog& l;
        ~echoguard() { l.echo(0); }
    } echo{log};
    log.echo(zo::LOG_WRN);

    copytext(ipcurl, ipcurlarg);
    copytext(logurl, logurlarg);
    copytext(moddir, moddirarg);
    copytext(instname, instnamearg);
    zo::normpath(moddir);
    if (cachepatharg) {
        copytext(cachepath, cachepatharg);
        zo::normpath(cachepath);
    }

    if (!logurl.empty()) {
        // The instance name becomes the log source: udp://h:999 -> udp://h:999/simu1.
        zo::normpath(logurl);
        logurl.append(instname.view());
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
        if (log.open(logurl.c_str()) == -1) {
            std::printf("log open failed.\n");
            std::fflush(stdout);
            return -1;
        }
        log.setlevel(level);
    }
    log.wlog(zo::LOG_INF, "\n  starting %s ...", version);

    if (mutex.lock(instname.c_str(), &log) != 0) {
        // A name too long for the lock fails without a log line; say why
        // where a user sees it.
        if (instname.size() + sizeof ".mutex" > instancelock::namesize) {
            std::fprintf(stderr,
                         "instance name %s is too long: its lock name %s.mutex takes more than "
                         "79 bytes.\n",
                         instname.c_str(), instname.c_str());
        }
        return -1;
    }

    zo::string path = cfgpath(moddir.c_str(), cfgfile);
    if (link.start(path.c_str(), instname.c_str()) < 0) {
        log.wlog(zo::LOG_ERR, "\nstart %s failed.", version);
        return -1;
    }
    metrics.configure(link.cfg().metrics_path.view(), instname.view());
    if (metrics.on()) log.wlog(zo::LOG_INF, "metrics to %s every 10 s.", metrics.path().c_str());

    if (!endpoint.parse(ipcurl.c_str())) {
        log.wlog(zo::LOG_ERR, "init ipc failed, url = %s.", ipcurl.c_str());
        return -1;
    }
    if (!instname.empty()) name = instname;
    if (endpoint.port == 0 || endpoint.scheme.empty()) {
        log.wlog(zo::LOG_ERR, "init ipc failed, url = %s.", ipcurl.c_str());
        return -1;
    }
    log.wlog(zo::LOG_INF, "start %s success. loglevel = %s", version, zo::levelword(level));
    return 0;
}

void velmarhost::stop(int sig) {
    if (sig != 0) log.wlog(zo::LOG_INF, "recv sigval = %d", sig);
    log.wlog(zo::LOG_INF, "stopping ...");
    link.stop();
    // The last counts, after the link has put away what it held.
    if (metrics.on()) writemetrics();
    log.wlog(zo::LOG_INF, "stopped gracefully.\n");
    if (log.isopen()) log.shutdown();
}

int velmarhost::runconsole(console& con) {
    poll(&log);
    for (;;) {
        if (int sig = console::pendingsignal()) return sig;
        if (exitflag == exitorder) {
            ::signal(SIGTERM, SIG_IGN);
            // A SIGTERM that came in before the line above still counts.
            return console::pendingsignal();
        }
        // A pass with a socket has waited in the client already; a pass
        // without one returned at once, so the wait happens here.
        int key = con.waitkey(hassocket() ? 0 : zo::ipcwrk::waitms);
        if (key == 'q' || key == 'Q') return 0;
        if (console::pendingsignal()) continue;
        poll(&log);
    }
}
