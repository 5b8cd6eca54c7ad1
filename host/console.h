
namespace zo {
// console.h - the console keys and the stop signals of the process.
//
// When standard input is a terminal and the process is in its foreground
// process group, open() switches it to single keys without echo (no line
// editing; Ctrl-C still raises SIGINT) and restore() puts the saved settings
// back.  A background job (`Quorvane ... &`) runs without console keys: the
// kernel would stop it for touching the terminal; a process sent to the
// background later reads no keys until it is back in the foreground.  restore() runs on every
// orderly exit path: the destructor, the stop signals (handled on the main thread, see below) and,
// as a last resort, SIGQUIT and SIGABRT, whose handler restores the terminal before the default
// action.  When standard input is not a terminal it is never read, so end-of-file is never taken
// for a key.
//
// Signals: the handler onsignal() (installed by installsignals() for SIGTERM,
// SIGINT and SIGHUP, the terminal closing) only records the signal and writes
// one byte to a self-pipe, so the stop work itself runs on the main thread,
// in order with the log lines.  A process that calls holdstops() before
// it starts any thread keeps the stop signals blocked everywhere except
// inside waitkey(), which unblocks them for the length of its wait only (as
// pselect does): the handler then always runs on the main thread, in the
// middle of that wait, and never on a worker (a runtime that defers handlers
// to the next call of the thread they landed on, like TSan's, could
// otherwise sit on them).  A signal that arrives meanwhile waits in the
// kernel for the next waitkey().
// waitkey() wakes up at once when a signal arrives.
//
// Thread-safety: open(), restore(), waitkey() and installsignals() belong to
// the main thread; pendingsignal() and onsignal() may run anywhere (onsignal
// is async-signal-safe).  At most one console is open at a time.
#pragma once

class console {
  public:
    console() = default;
    ~console() { restore(); }
    console(const console&) = delete;
    console& operator=(const console&) = delete;

    // Prepares fd (standard input by default) and the self-pipe.  Returns
    // true when fd is a terminal that now delivers single keys.
    bool open(int fd = 0);
    // Puts the terminal settings back (once; later calls do nothing).
    void restore();
    bool interactive() const { return tty_; }

    // Waits up to waitms (0: do not wait; negative: no limit) for a key or a
    // signal.  Returns the
    // key (0..255), or -1 when there was none: nothing happened, a signal
    // arrived (see pendingsignal()), or input is not a terminal.
    int waitkey(int waitms);

    // Installs onsignal for SIGTERM, SIGINT and SIGHUP (unless SIGHUP was
    // ignored at start, as under nohup) and ignores SIGPIPE.
    static void installsignals();
    // Blocks SIGTERM, SIGINT and SIGHUP in the calling thread, and so in the
    // threads it starts afterwards, which inherit its mask.
    static void holdstops();
    // The signal number that arrived first, or 0.
    static int pendingsignal();
    // The handler: ignores further deliveries of sig, records it, wakes
    // waitkey().
    static void onsignal(int sig);
    // Forgets a recorded signal (tests).
    static void clearsignal();

  private:
    int fd_ = -1;
    bool tty_ = false;
};

}  // namespace zo
