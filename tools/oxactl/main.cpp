// oxactl - the command-line look into the database; see ctl.h and
// `oxactl --help`.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/oxactl/ctl.h"

namespace {

int stoppipe[2] = {-1, -1};

// Only the self-pipe is touched here: watch wakes up from its wait and
// ends in an orderly way.
void onsignal(int) {
    int e = errno;
    char c = 1;
    ssize_t r = ::write(stoppipe[1], &c, 1);
    (void)r;
    errno = e;
}

// Called by watch alone: SIGINT and SIGTERM end it through the self-pipe.
int watchsignals() {
    if (::pipe2(stoppipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onsignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    return stoppipe[0];
}

}  // namespace

int main(int argc, char** argv) {
    tzset();                     // times are shown and read in local time
    ::signal(SIGPIPE, SIG_IGN);  // `oxactl ... | head` ends on a failed write
    return oxactl::run(argc, argv, stdout, stderr, watchsignals);
}
