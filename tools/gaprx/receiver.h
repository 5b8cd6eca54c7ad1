// receiver.h - gaprx itself: the UDP socket, the checks of every datagram
// (gapreader.h), the replay window (authwindow.h), the gap counts
// (seqtrack.h), the writes into the database (gapdb.h) and the counters.
//
// Counters, printed as one line of key=value pairs by stats():
//   datagrams   every datagram read from the socket
//   accepted    datagrams whose records were handed to the database
//   values      tag values (with object values) in accepted datagrams
//   soes        SOE records in accepted datagrams
//   written / failed        values the database stored / refused (or that
//                           were given up at exit with the database away)
//   histdups    values not stored because history held their name and time
//               already (two values of one tag in the same millisecond)
//   resent      values sent again after the database answered "not
//               written" (it failed as a whole, or went away)
//   soewritten / soefailed  the same for SOE records
//   lost dup reordered      the gap counts of seqtrack.h
//   restarts    sender lives that began while we ran
//   short magic headcrc bodylen bodycrc rawlen lz4 decode auth replay
//               datagrams refused, one counter per check (the first of each
//               kind is also logged)
//   kerneldrops datagrams the kernel dropped because our socket's buffer was
//               full (SO_RXQ_OVFL; 0 where the system does not report it)
//
// Memory is bounded after open(): one 64 KiB receive buffer, the reader's
// buffers, one request text of the database writer, and the requests in
// flight (gapdb.h: at most half the library's queue, kept by the library and
// by the writer until answered).
//
// Thread-safety: open(), run(), take(), finish() and stats() from one thread.
// run() reacts to the stop flag and the control pipe, both written by
// signal handlers.
#pragma once
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/ilog.h"
#include "tools/gaprx/authwindow.h"
#include "tools/gaprx/gapdb.h"
#include "tools/gaprx/gapreader.h"
#include "tools/gaprx/options.h"
#include "tools/gaprx/seqtrack.h"

class receiver {
  public:
    // The largest datagram read whole; a longer one is refused as "bodylen".
    static constexpr size_t maxdatagram = 65536;
    // At exit, how long writes and the final answers wait for a database
    // that answers nothing (one that is away); a slow one that answers is
    // waited for.
    static constexpr auto exitwait = std::chrono::seconds(10);

    // stop: set by the signal handlers; also asked while a write waits.
    receiver(const gaprx::options& o, zo::ilog* log, const std::atomic<bool>* stop);
    ~receiver();
    receiver(const receiver&) = delete;
    receiver& operator=(const receiver&) = delete;

    // Binds the socket and starts the database connection.  0 on success;
    // else the exit code with the reason in *err: 2 for an address that is
    // not gapudp://HOST:PORT, 1 for a socket or database that cannot be had.
    // With bindsocket false only the database is opened (benchmarks feed
    // take() themselves).
    int open(std::string* err, bool bindsocket = true);
    // Reads datagrams until *stop is set or a byte 's' comes on ctlfd; a
    // byte 'u' (SIGUSR1) prints the counters to statsout, as does every
    // stats interval.  Hands over what it gathered whenever the socket has
    // nothing more to read.
    void run(int ctlfd, FILE* statsout);
    // One datagram (from: the sender's address text for the log, or null).
    gapverdict take(const uint8_t* data, size_t n, const char* from = nullptr);
    // Writes what is gathered, waits for the database's answers (giving up
    // after exitwait without one) and disconnects.
    void finish();
    // The counter line.
    std::string stats() const;

    uint64_t refused(int verdict) const { return refused_[verdict]; }
    uint64_t accepted() const { return accepted_; }
    const seqtrack& gaps() const { return seq_; }
    gapdb& db() { return db_; }
    // The port the socket is bound to (0 before open).
    int port() const { return port_; }

  private:
    int bind(std::string* err);
    void receiveall();
    void write(const gapmsg& m);
    bool keepwaiting();

    gaprx::options opts_;
    zo::ilog* log_;
    const std::atomic<bool>* stop_;
    std::chrono::steady_clock::time_point giveup_{};
    bool givingup_ = false;
    uint64_t lastanswered_ = 0;
    int sock_ = -1;
    int port_ = 0;
    std::unique_ptr<uint8_t[]> buf_;
    std::unique_ptr<gapreader> reader_;
    std::unique_ptr<gapmsg> msg_;
    authwindow auth_;
    seqtrack seq_;
    gapdb db_;
    uint64_t datagrams_ = 0;
    uint64_t accepted_ = 0;
    uint64_t values_ = 0;
    uint64_t soes_ = 0;
    uint64_t restarts_ = 0;
    uint64_t refused_[GAP_VERDICTS] = {};
    uint32_t kerneldrops_ = 0;
};
