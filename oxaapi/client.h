// client.h - one handle of the library: its request queue and the library
// thread that owns the database connection.
//
// The thread opens the backend (retrying every retry interval and reporting
// OXA_CONNECTFAIL after each failed attempt), reports OXA_CONNECTED, then
// executes queued jobs in order, looks for control writes every poll
// interval and whenever the backend's socket (backend::waitfd) has news,
// and checks that the database is still reachable.  A backend
// result DB_LOST closes the connection, reports OXA_DISCONNECTED and goes
// back to reconnecting (at once, or after the retry interval when the
// connection lasted less than that, so a database that fails every write
// does not make the thread spin); queued requests stay queued, SOE writes
// waiting in oxa_soeput fail at once (their caller must not wait for a
// reconnect).
//
// Every job accepted by call() is answered once (when it asked for an
// answer): on the library thread after it ran, or with
// OXA_STATUS_DISCONNECTED when disconnect() drops it or the connection was
// lost while it ran (its rows may or may not be stored: written again, the
// history rows land once, since history inserts leave a row already there
// alone).  Control records are
// delivered at least once: a write is marked delivered after its callback
// returned true.  A callback that returns false refuses the write (the
// program has no room for it): it and the writes behind it stay undelivered
// and are offered again, in order, at the next look for control writes.
//
// Thread-safety: all public members may be called from any thread;
// disconnect() (and the destructor) must not be called from a callback of
// this client.  Callbacks run on the library thread without any lock held.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "oxaapi/backend.h"
#include "oxaapi/oxaapi.h"
#include "oxaapi/request.h"

namespace oxa {

using backendfactory = std::function<std::unique_ptr<backend>(std::string* err)>;

class client {
  public:
    static constexpr size_t maxjobs = 100000;
    static constexpr size_t maxbytes = 64u << 20;

    client();
    ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    void setnotify(oxa_statusfn fn, void* user);
    void setctrl(oxa_valuefn valfn, void* valctx, oxa_objectfn objfn, void* objctx);
    void setlog(oxa_logfn fn, void* user);
    // Values <= 0 keep the current interval.
    void setintervals(int retryms, int pollms);
    // Bounds of the queue (defaults maxjobs, maxbytes); 0 keeps a bound.
    void setlimits(size_t jobs, size_t bytes);

    // Starts the library thread; OXA_ERR_STATE while it runs already.
    int connect(backendfactory factory);
    // Stops the thread (see the top comment); OXA_ERR_STATE when called from
    // the library thread itself.
    int disconnect();

    // Queues a request.  respond = false: no answer is wanted (failures are
    // logged).  OXA_OK, OXA_ERR_NOTCONNECTED without a running thread,
    // OXA_ERR_QUEUEFULL, OXA_ERR_ARG for a text above maxbytes.
    int call(const char* text, size_t n, oxa_responsefn fn, void* user, bool respond);
    // Writes n SOE records in one transaction and waits for the outcome.
    int soeput(const oxa_soerec* recs, int n);

    bool connected() const { return connected_.load(std::memory_order_acquire); }
    // The byte bound of the queue.
    size_t queuebytes() const {
        std::lock_guard<std::mutex> lk(mu_);
        return maxbytes_;
    }
    // The database in use (0 the first, 1 the standby): the one connected
    // last.
    int curdb() const { return curdb_.load(std::memory_order_acquire); }

  private:
    struct soewait {
        const oxa_soerec* recs;
        int n;
        int rc;
        bool done;
    };
    struct job {
        std::string text;
        oxa_responsefn fn = nullptr;
        void* user = nullptr;
        bool respond = false;
        soewait* soe = nullptr;
    };

    void run();
    // Waits until `until`, a job, a stop, or (for a backend with a socket
    // to watch) the database's own news, which moves *nextpoll to now.
    void idle(std::chrono::steady_clock::time_point until,
              std::chrono::steady_clock::time_point* nextpoll);
    // Wakes the library thread: cv_ and wakefd_.
    void wake();
    bool tryopen();
    void execute(job& j);
    int writevalues(request& rq, std::vector<tagerr>* errs, size_t* dups, std::string* why);
    int writetags(request& rq, bool add, std::vector<tagerr>* errs, std::string* why);
    void answer(const job& j, const std::string& resp, int status);
    void finishsoe(soewait* w, int rc);
    void failsoe();
    void dropall();
    void pollctrl();
    // deliver's results: the callback took the write (or it has no record
    // type, *state -1), the callback refused it, or there is no callback.
    enum { handedover, refused, nocallback };
    int deliver(const ctrlrow& r, int* state);
    void lose(std::string why);  // by value: callers pass db_->error()
    void notify(int code, const std::string& reason);
    void logf(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    mutable std::mutex mu_;
    std::condition_variable cv_;      // wakes the library thread
    int wakefd_ = -1;                 // the same for a thread in poll() (an eventfd)
    std::condition_variable donecv_;  // wakes callers of soeput
    std::deque<job> q_;
    size_t qbytes_ = 0;
    bool running_ = false;
    bool stop_ = false;
    std::thread th_;
    std::atomic<bool> connected_{false};
    std::atomic<int> curdb_{0};
    std::atomic<bool> stopping_{false};  // ends the backend's waits for a server

    oxa_statusfn statusfn_ = nullptr;
    void* statususer_ = nullptr;
    oxa_valuefn valfn_ = nullptr;
    void* valctx_ = nullptr;
    oxa_objectfn objfn_ = nullptr;
    void* objctx_ = nullptr;
    oxa_logfn logfn_ = nullptr;
    void* loguser_ = nullptr;
    size_t maxjobs_ = maxjobs;
    size_t maxbytes_ = maxbytes;
    int retryms_ = 2000;
    int pollms_ = 50;

    // Library thread only.
    backendfactory factory_;
    std::unique_ptr<backend> db_;
    bool ctrldirty_ = true;
    std::string lastfail_;  // reason of the last failed attempt
    std::chrono::steady_clock::time_point openedat_;
    bool backoff_ = false;  // the last connection was lost soon after it opened
};

}  // namespace oxa
