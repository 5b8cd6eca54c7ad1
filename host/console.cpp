#include "host/console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace zo {

namespace {

// The signals that ask for an orderly stop.
constexpr int stopsignals[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<int> pendingsig{0};
// The self-pipe: created once and kept for the life of the process, so that
// a signal arriving at any time has somewhere to write.
int wakepipe[2] = {-1, -1};

// The saved terminal, also reachable from the fatal-signal handler.
struct termios savedterm;
std::atomic<int> savedfd{-1};

// A process outside the terminal's foreground process group that reads it
// or changes its settings is stopped by the kernel (SIGTTIN, SIGTTOU): a
// daemon started as `Quorvane ... &` would freeze for good.  So keys are
// ours only while our group is in the foreground.  A terminal that is not
// (or no longer, after a hang-up) our controlling terminal has no foreground
// for us (tcgetpgrp fails) and stops nobody.
bool inbackground(int fd) {
    const pid_t fg = ::tcgetpgrp(fd);
    return fg >= 0 && fg != ::getpgrp();
}

void restoreterm() {
    int fd = savedfd.exchange(-1);
    if (fd < 0) return;
    // Moved to the background meanwhile (Ctrl-Z, bg), we still put the
    // settings back: with SIGTTOU blocked the kernel lets the change through
    // instead of stopping us on the way out.
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    ::pthread_sigmask(SIG_BLOCK, &ttou, &old);
    ::tcsetattr(fd, TCSANOW, &savedterm);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void onfatal(int sig) {
    restoreterm();
    // SA_RESETHAND put the default action back: raise it again.
    ::raise(sig);
}

bool makepipe() {
    if (wakepipe[0] >= 0) return true;
    if (::pipe2(wakepipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        wakepipe[0] = wakepipe[1] = -1;
        return false;
    }
    return true;
}

void drainpipe() {
    char buf[64];
    while (wakepipe[0] >= 0 && ::read(wakepipe[0], buf, sizeof buf) > 0) {
    }
}

}  // namespace

bool console::open(int fd) {
    restore();
    fd_ = fd;
    makepipe();
    tty_ = false;
    if (!::isatty(fd) || inbackground(fd)) return false;
    struct termios t;
    if (::tcgetattr(fd, &t) != 0) return false;
    savedterm = t;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
    savedfd.store(fd);
    tty_ = true;

    struct sigaction sa = {};
    sa.sa_handler = onfatal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGQUIT, &sa, nullptr);
    ::sigaction(SIGABRT, &sa, nullptr);
    return true;
}

void console::restore() {
    if (!tty_) return;
    restoreterm();
    tty_ = false;
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGQUIT, &sa, nullptr);
    ::sigaction(SIGABRT, &sa, nullptr);
}

int console::waitkey(int waitms) {
    struct pollfd pfd[2];
    int n = 0;
    if (wakepipe[0] >= 0) {
        pfd[n].fd = wakepipe[0];
        pfd[n].events = POLLIN;
        pfd[n].revents = 0;
        ++n;
    }
    int keyslot = -1;
    // Sent to the background since (Ctrl-Z, bg): leave the keys alone until
    // we are back in the foreground.
    if (tty_ && !inbackground(fd_)) {
        keyslot = n;
        pfd[n].fd = fd_;
        pfd[n].events = POLLIN;
        pfd[n].revents = 0;
        ++n;
    }
    // The stop signals, blocked by holdstops(), come through during the wait
    // and nowhere else.
    sigset_t during;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &during);
    for (int sig : stopsignals) sigdelset(&during, sig);
    struct timespec ts;
    struct timespec* limit = nullptr;
    // No pipe and no terminal: nothing but a signal can wake us, so an
    // endless wait becomes a short one instead of letting the caller spin.
    if (n == 0 && waitms < 0) waitms = 100;
    if (waitms >= 0) {
        ts.tv_sec = waitms / 1000;
        ts.tv_nsec = static_cast<long>(waitms % 1000) * 1000000L;
        limit = &ts;
    }
    int r = ::ppoll(n > 0 ? pfd : nullptr, static_cast<nfds_t>(n), limit, &during);
    if (r <= 0) return -1;
    if (wakepipe[0] >= 0 && pfd[0].revents) drainpipe();
    if (keyslot < 0 || !pfd[keyslot].revents) return -1;
    unsigned char c;
    ssize_t got = ::read(fd_, &c, 1);
    if (got == 1) return c;
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        // The terminal hung up: stop watching it rather than wake up for
        // ever on its end-of-file.
        restore();
    }
    return -1;
}

void console::installsignals() {
    makepipe();
    struct sigaction sa = {};
    sa.sa_handler = onsignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    // The terminal went away: stop in order, so nothing queued is lost.  A
    // process started under nohup (SIGHUP ignored) is meant to outlive its
    // terminal and keeps ignoring it.
    struct sigaction hup = {};
    if (::sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler != SIG_IGN) {
        ::sigaction(SIGHUP, &sa, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
}

void console::holdstops() {
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : stopsignals) sigaddset(&stops, sig);
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

int console::pendingsignal() {
    return pendingsig.load(std::memory_order_acquire);
}

void console::clearsignal() {
    pendingsig.store(0, std::memory_order_release);
    drainpipe();
}

void console::onsignal(int sig) {
    int saved = errno;
    if (sig != 0) ::signal(sig, SIG_IGN);
    int none = 0;
    pendingsig.compare_exchange_strong(none, sig, std::memory_order_acq_rel);
    if (wakepipe[1] >= 0) {
        char b = 1;
        ssize_t w = ::write(wakepipe[1], &b, 1);
        (void)w;
    }
    errno = saved;
}

}  // namespace zo
