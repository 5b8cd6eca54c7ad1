// The entry of the process: checks the command line, starts the host, runs
// the console loop and stops in order.  Every path returns 0.
#include <time.h>

#include <cstdio>

#include "base/dirs.h"
#include "base/ilog.h"
#include "base/string_.h"
#include "host/console.h"
#include "host/velmarhost.h"

using namespace zo;

namespace {

velmarhost host;

const char usage[] =
    "usage:\n"
    "  Quorvane ipcurl logurl instname cfgfile loglevel [cachepath]\n"
    "demo:\n"
    "  Quorvane ipc://127.0.0.1:802 udp://192.168.1.10:999  simu1 simu1.ini dbg\n";

}  // namespace

int main(int argc, char** argv) {
    ::tzset();
    if (argc < 6) {
        std::fputs(usage, stdout);
        return 0;
    }
    zo::string moddir;
    zo::moddir(moddir);  // on failure the configuration path is relative
    int32_t level = zo::levelfromword(argv[5]);
    const char* cachepath = argc >= 7 ? argv[6] : nullptr;

    // The handlers only record the signal, so they can go in before start-up:
    // a SIGTERM that arrives while starting is then answered by the stop
    // sequence at the first pass of the loop instead of killing the process
    // half-way.
    console::installsignals();
    // The stop signals stay blocked for good: worker threads inherit that
    // and never take them, and this thread takes them only inside waitkey().
    console::holdstops();
    if (host.start(argv[1], argv[2], moddir.c_str(), argv[3], argv[4], cachepath, level) == -1) {
        std::printf("start velmarhost failed.\n");
        std::fflush(stdout);
        return 0;
    }
    std::printf("%s. type 'q' or 'Q' to exit zeldblink.\n", velmarhost::version);
    std::fflush(stdout);

    console con;
    con.open(0);
    int sig = host.runconsole(con);
    con.restore();
    host.stop(sig);
    return 0;
}
