#include "ipc/ipcwrk.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "base/alloc.h"
#include "base/env.h"

namespace zo {

// Block header: read offset, write offset, next.  The data follows the
// struct; its capacity is blocksize - 12 whatever the pointer size, so the
// chain holds the same bytes per block on every platform.
namespace {

// The send would block or the stack is short of buffers: nothing was sent,
// try again when the socket is writable.
bool sendagain(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == EINTR;
}

}  // namespace

ipcwrk::connectclass ipcwrk::classifyconnect(int err) {
    switch (err) {
        case 0:
        case EINPROGRESS:
        case EINTR:
        case EISCONN:
            return connectinprogress;
        case EAGAIN:
        case EADDRINUSE:
        case EADDRNOTAVAIL:
        case ECONNREFUSED:
        case ECONNRESET:
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
        case ETIMEDOUT:
            return connectretry;
        default:  // EACCES, EPERM, EAFNOSUPPORT, EALREADY, EBADF, EFAULT, ENOTSOCK ...
            return connectfatal;
    }
}

ipcwrk::ipcwrk() = default;

ipcwrk::~ipcwrk() {
    closesock();
    state = unconnected;
    releasebuf();
}

uint32_t ipcwrk::capacity() const {
    return blocksize_ - blockheader;
}

uint32_t ipcwrk::blockcount() const {
    uint32_t n = 0;
    for (block* b = first_; b; b = b->next) n++;
    return n;
}

void ipcwrk::closesock() {
    if (sock_ >= 0) ::close(sock_);
    sock_ = -1;
}

void ipcwrk::releasebuf() {
    while (first_) {
        block* b = first_;
        first_ = b->next;
        zo_free(b);
    }
    last_ = nullptr;
    pending_ = 0;
}

void ipcwrk::close(zo::ilog* /*log*/) {
    enter();
    // Without a socket there is no connection to lose: ondisconnect() runs
    // once per loss even when a callback already closed inside this pass.
    if (sock_ < 0) return;
    ::shutdown(sock_, SHUT_RDWR);
    closesock();
    state = unconnected;
    ondisconnect();
    disconnecttime_ = zo::nowsec();
}

bool ipcwrk::connectasyn(zo::ilog* log) {
    enter();
    if (sock_ >= 0) return true;
    int64_t now = zo::nowsec();
    if (now - disconnecttime_ < reconnectspacing) return false;

    sockaddr_in sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(endpoint.port);
    if (inet_pton(AF_INET, endpoint.ipv4.c_str(), &sa.sin_addr) != 1) {
        ZO_LOG(log, LOG_ERR, "ipcwrk %s connectasyn no IPv4 address for \"%s\"", nm(),
               endpoint.hostport.c_str());
        disconnecttime_ = now;
        return false;
    }

    // Every refused attempt below restarts the 2 s spacing, so that a peer
    // that refuses at once does not turn the owner's loop into a busy loop.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        ZO_LOG(log, LOG_ERR, "ipcwrk %s connectasyn create socket failed", nm());
        disconnecttime_ = now;
        return false;
    }
    int v = rcvbufsize;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, sizeof(v));
    v = sndbufsize;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &v, sizeof(v));

    int fl = ::fcntl(fd, F_GETFL, 0);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0) {
        ZO_LOG(log, LOG_ERR, "ipcwrk %s connectasyn ioctl error %d", nm(), errno);
        ::close(fd);
        disconnecttime_ = now;
        return false;
    }

    int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
    int err = r == 0 ? 0 : errno;
    if (classifyconnect(err) != connectinprogress) {
        ZO_LOG(log, LOG_ERR, "ipcwrk %s connectasyn error %d", nm(), err);
        ::close(fd);
        disconnecttime_ = now;
        return false;
    }

    sock_ = fd;
    state = unconnected;
    connecttime_ = now;
    if (pending_) {
        ZO_LOG(log, LOG_WRN, "ipcwrk %s %u bytes not sent before the last disconnect discarded",
               nm(), pending_);
    }
    releasebuf();
    accepted_ = written_ = 0;
    return true;
}

void ipcwrk::poll(zo::ilog* log) {
    enter();
    ontimer();
    if (sock_ < 0) {
        connectasyn(log);
        return;
    }
    if (state != loggedin && zo::nowsec() - connecttime_ > connecttimeout) {
        ZO_LOG(log, LOG_ERR, "ipcwrk %s connect timeover", nm());
        close(log);
        connecttime_ = zo::nowsec();
        return;
    }

    short ev = POLLOUT;
    if (state != unconnected) ev = pending_ ? POLLIN | POLLOUT : POLLIN;
    pollevents_ = ev;
    pollfd pfd;
    pfd.fd = sock_;
    pfd.events = ev;
    pfd.revents = 0;
    if (::poll(&pfd, 1, waitms) < 1) return;
    short re = pfd.revents;

    if (re & (POLLERR | POLLHUP | POLLNVAL)) {
        ZO_LOG(log, LOG_ERR, "ipcwrk %s disconnect as revents 0x%X", nm(),
               static_cast<unsigned>(static_cast<int>(re)));
        close(log);
        return;
    }
    if (re & POLLOUT) {
        if (state == unconnected) {
            state = connected;
            onconnect();
            return;
        }
        int32_t n = flush(log);
        if (n == -1) {
            close(log);
        } else if (n > 0) {
            ZO_LOG(log, LOG_ALL, "ipcwrk %s sendbuf send %d bytes, buffer size %zu", nm(), n,
                   static_cast<size_t>(pending_));
        }
        return;
    }
    if (re & POLLIN) {
        char buf[recvsize];
        ssize_t n = ::recv(sock_, buf, sizeof(buf), 0);
        if (n == 0) {
            ZO_LOG(log, LOG_ERR, "ipcwrk %s disconnect as peer close gracefully", nm());
            close(log);
        } else if (n < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return;
            ZO_LOG(log, LOG_ERR, "ipcwrk %s disconnect errno %d", nm(), err);
            close(log);
        } else if (onrecv(buf, static_cast<int32_t>(n)) == -1) {
            ZO_LOG(log, LOG_ERR, "ipcwrk %s disconnect as onrecv return -1", nm());
            close(log);
        } else {
            onrecvdone();
        }
    }
}

ssize_t ipcwrk::sendsome(const void* data, size_t length) {
    return ::send(sock_, data, length, MSG_NOSIGNAL);
}

int32_t ipcwrk::send(const void* data, size_t length, zo::ilog* log) {
    enter();
    if (state == unconnected || sock_ < 0) return -1;
    const char* p = static_cast<const char*>(data);
    // Behind older bytes the package is buffered whole, even when the flush
    // below empties the buffer.
    bool behind = pending_ != 0;
    if (behind) {
        if (flush(log) == -1) {
            close(log);
            return -1;
        }
    }
    if (length > room()) {
        // The newest package is the one refused: what waits is older and
        // was promised to the peer first.
        ++refused_;
        if (runrefused_++ == 0) {
            ZO_LOG(log, LOG_WRN,
                   "ipcwrk %s sendbuf full, package of %zu bytes refused, %u bytes waiting", nm(),
                   length, pending_);
        }
        runrefusedbytes_ += length;
        return 0;
    }
    if (runrefused_) {
        ZO_LOG(
            log, LOG_INF,
            "ipcwrk %s sendbuf takes packages again, %llu packages (%llu bytes) refused meanwhile",
            nm(), static_cast<unsigned long long>(runrefused_),
            static_cast<unsigned long long>(runrefusedbytes_));
        runrefused_ = runrefusedbytes_ = 0;
    }
    uint32_t len = static_cast<uint32_t>(length);
    uint32_t done = 0;
    if (!behind) {
        ssize_t n = sendsome(p, len);
        if (n < 0) {
            int err = errno;
            if (!sendagain(err)) {
                ZO_LOG(log, LOG_ERR, "ipcwrk %s send failed, errno %d", nm(), err);
                close(log);
                return -1;
            }
            n = 0;
        }
        done = static_cast<uint32_t>(n);
        written_ += done;
    }
    if (done < len && appendbuf(p + done, len - done) < len - done) {
        // Out of memory with part of the package gone or kept: the stream can
        // no longer be completed, so the connection goes.
        ZO_LOG(log, LOG_ERR, "ipcwrk %s no memory for the rest of a package of %u bytes", nm(),
               len);
        close(log);
        return -1;
    }
    accepted_ += len;
    return static_cast<int32_t>(len);
}

int32_t ipcwrk::flush(zo::ilog* log) {
    enter();
    if (pending_ == 0) return 0;
    int32_t total = 0;
    while (first_) {
        block* b = first_;
        if (b->rd == b->wr) {
            first_ = b->next;
            if (!first_) last_ = nullptr;
            zo_free(b);
            continue;
        }
        uint32_t want = b->wr - b->rd;
        ssize_t n = sendsome(b->data() + b->rd, want);
        if (n < 0) {
            int err = errno;
            if (sendagain(err)) return total;
            ZO_LOG(log, LOG_ERR, "ipcwrk %s send failed, errno %d", nm(), err);
            return -1;
        }
        if (n == 0) return total;
        uint32_t sent = static_cast<uint32_t>(n);
        written_ += sent;
        b->rd += sent;
        pending_ -= sent < pending_ ? sent : pending_;
        total += static_cast<int32_t>(sent);
        if (sent < want) return total;
    }
    return total;
}

uint32_t ipcwrk::appendbuf(const char* data, uint32_t length) {
    uint32_t cap = capacity();
    uint32_t taken = 0;
    while (taken < length) {
        if (!last_ || last_->wr == cap) {
            void* mem = zo_alloc(sizeof(block) + cap);
            if (!mem) break;
            block* b = static_cast<block*>(mem);
            b->rd = 0;
            b->wr = 0;
            b->next = nullptr;
            if (last_) {
                last_->next = b;
            } else {
                first_ = b;
            }
            last_ = b;
        }
        uint32_t k = cap - last_->wr;
        if (k > length - taken) k = length - taken;
        std::memcpy(last_->data() + last_->wr, data + taken, k);
        last_->wr += k;
        pending_ += k;
        taken += k;
    }
    return taken;
}

}  // namespace zo
