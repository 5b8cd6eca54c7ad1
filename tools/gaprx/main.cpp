// gaprx - the receiver on the far side of a one-way network gap: takes the
// gapudp datagrams of Quorvane and writes what they carry into a database.
// See options.h for the command line and receiver.h for the counters.
//
// Exit codes: 0 after SIGTERM, SIGINT or SIGHUP (having written what it
// held), 1 when the address cannot be bound or the database not opened, 2
// for bad arguments.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/cli/cliopts.h"
#include "tools/gaprx/options.h"
#include "tools/gaprx/receiver.h"
#include "tools/gaprx/textlog.h"

#ifndef ZO_VERSION
#define ZO_VERSION "0"
#endif

namespace {

std::atomic<bool> stopping{false};
int ctlpipe[2] = {-1, -1};

// Only the flag and the self-pipe are touched here: the main loop wakes up
// from poll and leaves in an orderly way.
void onsignal(int sig) {
    int e = errno;
    char c = sig == SIGUSR1 ? 'u' : 's';
    if (c == 's') stopping.store(true, std::memory_order_release);
    ssize_t r = ::write(ctlpipe[1], &c, 1);
    (void)r;
    errno = e;
}

}  // namespace

int main(int argc, char** argv) {
    gaprx::options o;
    std::string err;
    if (gaprx::parseargs(argc, argv, &o, &err) != 0) {
        return zo::cli::usageerror("gaprx", err, stderr);
    }
    if (o.help) {
        std::fputs(gaprx::usage, stdout);
        return 0;
    }
    if (o.version) {
        zo::cli::printversion("gaprx", stdout);
        return 0;
    }

    textlog log(stderr);
    log.setlevel(o.loglevel);
    if (::pipe2(ctlpipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "gaprx: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onsignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) ::sigaction(s, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    receiver rx(o, &log, &stopping);
    int rc = rx.open(&err);
    if (rc != 0) {
        std::fprintf(stderr, "gaprx: %s\n", err.c_str());
        if (rc == 2) std::fputs("Try gaprx --help.\n", stderr);
        return rc;
    }
    rx.run(ctlpipe[0], stdout);
    ZO_LOG(&log, zo::LOG_INF, "stopping: writing what was received");
    rx.finish();
    std::printf("%s\n", rx.stats().c_str());
    std::fflush(stdout);
    ZO_LOG(&log, zo::LOG_INF, "stopped.");
    return 0;
}
