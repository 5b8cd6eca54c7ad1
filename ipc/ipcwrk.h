// ipcwrk.h - single-connection TCP client driven one poll pass at a time.
//
// The owner calls poll() in its loop.  A pass first calls ontimer(); with no
// socket it makes (or refuses) one non-blocking connect attempt and returns
// at once without waiting; otherwise it waits at most 100 ms for the socket
// and handles exactly one event kind: an error/hang-up (close), writability
// (connect completed -> onconnect(), or flush the send buffer), or readable
// data (one receive of at most 30720 bytes -> onrecv()).
//
// Time limits, all on the seconds clock of base/env.h (zo::nowsec):
//  - a socket that has not reached state loggedin (set by the derived
//    class) is dropped at the first pass more than 15 s after its creation
//    ("connect timeover");
//  - after a close, or after a refused attempt, the next connect attempt
//    waits until 2 s have passed; the very first attempt is immediate.
//
// Sending: a package goes out whole or not at all.  send() takes all of it
// or none: it first writes to the socket directly and keeps what the socket
// did not take in a chain of 32760-byte blocks (32748 data bytes each); a
// package that would take the bytes waiting there above sendlimit (8 MiB)
// is refused whole (send() returns 0), so the stream never carries part of
// a package.  Drop rule: the newest package is refused, what waits is kept.
// Refusals are counted; the first of a run is logged at warning level with
// the bytes waiting, and the run's count when the buffer takes packages
// again.  flush() empties the buffer as the socket allows.  The buffer
// survives a drop and is discarded (with a line giving its size) when the
// next socket is created; accepted() and written() let the owner tell which
// of its packages reached the socket before a drop.
//
// Log lines begin with "ipcwrk " and the client's name; they go to the
// logger passed to each call (null: no lines).  Error numbers printed are the
// platform's errno.
//
// Callbacks: ontimer() at the start of every pass; onconnect() when a connect
// completes (state is already connected); onrecv() with the bytes of one receive (-1
// asks for the connection to be dropped); onrecvdone() after an onrecv()
// that did not return -1; ondisconnect() once after every close of an
// existing connection or connect attempt in progress, whatever the cause.
//
// Thread-safety: none.  Every public member, and every callback, belongs to
// the owner's thread (the main thread of the process): poll(), send(),
// flush(), close(), connectasyn() and the accessors must all be called from
// that one thread.  Callbacks run inside poll() (ondisconnect() also inside
// send() and close()), so a callback may call send().
//
// REQUIRES: endpoint.port and endpoint.ipv4 (the resolved IPv4 text) and name
// are set before the first pass and not changed while a socket exists.
#pragma once
#include <sys/types.h>

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "base/ilog.h"
#include "base/ownerthread.h"
#include "base/string_.h"
#include "base/url.h"

namespace zo {

class ipcwrk {
  public:
    static constexpr int64_t connecttimeout = 15;    // seconds, socket creation to login
    static constexpr int64_t reconnectspacing = 2;   // seconds between attempts
    static constexpr int waitms = 100;               // longest wait of one pass
    static constexpr size_t recvsize = 30720;        // largest receive of one pass
    static constexpr uint32_t defblocksize = 32760;  // one send-buffer block, header included
    static constexpr uint32_t blockheader = 12;      // read offset, write offset, next
    static constexpr uint32_t sendlimit = 8u << 20;  // most bytes that wait in the send buffer

    ipcwrk();
    // Closes the socket (no shutdown, no ondisconnect()), releases the send
    // buffer.
    virtual ~ipcwrk();
    ipcwrk(const ipcwrk&) = delete;
    ipcwrk& operator=(const ipcwrk&) = delete;

    // The states of a connection.  The derived class sets loggedin after a
    // successful login.
    enum connstates : int32_t {
        unconnected = 0,  // no connection, or a connect in progress
        connected = 1,    // TCP connected
        loggedin = 2,
    };
    int32_t state = unconnected;   // owner's thread
    int32_t rcvbufsize = 1048576;  // SO_RCVBUF of each new socket
    int32_t sndbufsize = 2097152;  // SO_SNDBUF of each new socket
    zo::url endpoint;              // where to connect: port and ipv4 are used
    zo::string name = "noname";    // printed in every log line

    // One poll pass (see above).  Owner's thread.  log may be null.
    void poll(zo::ilog* log);

    // Accepts one package for the connection, whole or not at all.  Returns
    // length when all of it was sent or buffered, 0 when it was refused
    // because it does not fit in room() (counted, see above; nothing of it
    // was sent), or -1 when there is no connection (unconnected, no log line) or
    // the connection had to be dropped (logged; ondisconnect() was called).
    // When the buffer already holds data, it is flushed first and the new
    // bytes all go behind it.  Owner's thread.
    int32_t send(const void* data, size_t length, zo::ilog* log);

    // Sends from the send buffer as far as the socket takes it.  Returns the
    // bytes sent (0 when the buffer is empty or the socket is full), or -1 on
    // a send error (logged; the caller closes).  Owner's thread.
    int32_t flush(zo::ilog* log);

    // Starts a non-blocking connect unless a socket exists (true) or the 2 s
    // spacing is not over (false).  False also when the attempt was refused
    // (logged).  Called by poll(); owner's thread.
    bool connectasyn(zo::ilog* log);

    // Closes the connection: shutdown and close of the socket, unconnected,
    // ondisconnect(), disconnecttime = now.  Does nothing without a socket,
    // so one loss gives one ondisconnect().  The send buffer keeps its bytes
    // until the next socket is created.  Owner's thread.
    void close(zo::ilog* log);

    // How a failed non-blocking connect() is taken: in progress (the socket
    // is kept and poll() waits for it), retry (a refusal the peer or the
    // network may lift) or fatal (a local fault).  The client gives up on
    // neither: both refuse the attempt and the next one follows 2 s later.
    // Any thread (no state).
    enum connectclass { connectinprogress, connectretry, connectfatal };
    static connectclass classifyconnect(int err);

    // Read-only views for the owner and for tests.  Owner's thread.
    bool hassocket() const { return sock_ >= 0; }
    int socketfd() const { return sock_; }
    uint32_t pending() const { return pending_; }  // bytes in the send buffer
    // The largest package send() takes now.
    uint32_t room() const { return pending_ < sendlimit ? sendlimit - pending_ : 0; }
    // Bytes send() took, and bytes handed to the socket, since the current
    // (or last) socket was created: a package taken when accepted() was A
    // and N bytes long went out whole once written() >= A + N.
    uint64_t accepted() const { return accepted_; }
    uint64_t written() const { return written_; }
    // Packages refused because the buffer was full, since construction.
    uint64_t refused() const { return refused_; }
    uint32_t blockcount() const;                      // blocks in the send buffer
    uint32_t capacity() const;                        // data bytes of one block
    short pollevents() const { return pollevents_; }  // events asked for in the last wait
    int64_t connecttime() const { return connecttime_; }
    int64_t disconnecttime() const { return disconnecttime_; }

  protected:
    virtual void ondisconnect() = 0;
    virtual void onconnect() = 0;
    // data holds length (1..30720) bytes, valid during the call only.
    // 0 (or any other value but -1) keeps the connection; -1 drops it.
    virtual int32_t onrecv(const char* data, int32_t length) = 0;
    virtual void ontimer() = 0;
    virtual void onrecvdone() {}

    // The one place bytes enter the socket: ::send without SIGPIPE.  Returns
    // the count or -1 with errno set.  Tests override it to make the socket
    // take less than offered.
    virtual ssize_t sendsome(const void* data, size_t length);

  private:
    // One block of the send buffer's chain: rd..wr of its data (capacity()
    // bytes behind the header) wait for the socket.
    struct block {
        uint32_t rd;
        uint32_t wr;
        block* next;
        char* data() { return reinterpret_cast<char*>(this + 1); }
    };

    // The send buffer's invariant: first_ and last_ both null or last_ ending
    // the chain from first_, rd <= wr <= capacity() in every block, and
    // pending_ the sum of their wr - rd.
    bool chainok() const {
        uint64_t sum = 0;
        const block* end = nullptr;
        for (const block* b = first_; b; b = b->next) {
            if (b->rd > b->wr || b->wr > capacity()) return false;
            sum += b->wr - b->rd;
            end = b;
        }
        return end == last_ && sum == pending_;
    }
    // At the entry of every public call: the owner's thread, an intact chain
    // (debug builds).
    void enter() {
        owner_.check();
        assert(chainok());
    }

    // Copies up to length bytes behind the pending ones; returns the count
    // taken (less only when memory runs out; send() checks the limit).
    uint32_t appendbuf(const char* data, uint32_t length);
    void releasebuf();
    void closesock();
    const char* nm() { return name.c_str(); }

    int sock_ = -1;
    short pollevents_ = 0;
    int64_t connecttime_ = 0;
    int64_t disconnecttime_ = 0;
    uint32_t blocksize_ = defblocksize;
    block* first_ = nullptr;
    block* last_ = nullptr;
    uint32_t pending_ = 0;
    uint64_t accepted_ = 0;
    uint64_t written_ = 0;
    uint64_t refused_ = 0;
    uint64_t runrefused_ = 0;  // refusals since the buffer last took a package
    uint64_t runrefusedbytes_ = 0;
    zo::ownerthread owner_;
};

}  // namespace zo
