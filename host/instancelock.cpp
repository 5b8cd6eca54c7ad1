#include "host/instancelock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace zo {

namespace {
constexpr char prefix[] = "quorvane/";
static_assert(1 + sizeof prefix - 1 + instancelock::namesize - 1 <= sizeof(sockaddr_un::sun_path),
              "the abstract lock name must fit into sun_path");
}  // namespace

int instancelock::lock(const char* instname, zo::ilog* log) {
    unlock();
    std::memset(name_, 0, sizeof name_);
    int n = std::snprintf(name_, sizeof name_, "%s.mutex", instname ? instname : "");
    if (n < 0 || n >= namesize) return -1;

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // sun_path[0] stays 0: the abstract namespace.
    std::memcpy(addr.sun_path + 1, prefix, sizeof prefix - 1);
    std::memcpy(addr.sun_path + sizeof prefix, name_, static_cast<size_t>(n));
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof prefix +
                                           static_cast<size_t>(n));

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
        fd_ = fd;
        return 0;
    }
    int err = errno;
    if (fd >= 0) ::close(fd);
    if (err != EADDRINUSE) ZO_LOG(log, zo::LOG_DBG, "instance lock %s: errno %d", name_, err);
    ZO_LOG(log, zo::LOG_WRN, "%s ERROR_ALREADY_EXISTS", name_);
    return -1;
}

void instancelock::unlock() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace zo
