// iosim - an IO-server simulator for trying Quorvane without field devices.
// See docs/iosim.md and `iosim --help`.
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "tools/cli/cliopts.h"
#include "tools/iosim/options.h"
#include "tools/iosim/simserver.h"

namespace {

iosim::simserver* running = nullptr;

void onsignal(int) {
    if (running) running->stop();
}

}  // namespace

int main(int argc, char** argv) {
    iosim::simopts o;
    zo::string err;
    if (iosim::parseargs(argc, argv, &o, &err) != 0) {
        return zo::cli::usageerror("iosim", std::string(err.view()), stderr);
    }
    if (o.help) {
        std::fputs(iosim::usage(), stdout);
        return 0;
    }
    if (o.version) {
        zo::cli::printversion("iosim", stdout);
        return 0;
    }
    // One line at a time also into a pipe, so that a script reading along
    // sees each event when it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    iosim::simserver srv(o, stdout);
    if (srv.open(&err) != 0) {
        std::fprintf(stderr, "iosim: %s\n", err.c_str());
        return 1;
    }
    running = &srv;
    struct sigaction sa {};
    sa.sa_handler = onsignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int rc = srv.run();
    running = nullptr;
    zo::string line;
    srv.summary(&line);
    std::printf("%s\n", line.c_str());
    return rc;
}
