// qvadm - the administration tool of Quorvane; see qvadm.h and `qvadm --help`.
#include <csignal>
#include <ctime>

#include "tools/qvadm/qvadm.h"

int main(int argc, char** argv) {
    tzset();                        // periods and times are shown in local time
    std::signal(SIGPIPE, SIG_IGN);  // `qvadm cache dump ... | head` ends on a failed write
    return qvadm::run(argc, argv, stdout, stderr);
}
