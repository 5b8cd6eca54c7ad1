// instancelock.h - keeps a second process with the same instance name from
// starting.
//
// The lock is a unix socket bound to an abstract name ("\0quorvane/" + the
// lock name).  The kernel owns abstract names: the name is freed when the
// last descriptor closes, which happens on every kind of process death, so a
// process killed with SIGKILL leaves no stale lock behind and no file is ever
// created.  The descriptor is close-on-exec, so child programs do not hold it.
//
// The lock name is "<instname>.mutex" and must be shorter than 80 bytes.
//
// Thread-safety: an instancelock belongs to one thread (the main thread).
#pragma once
#include "base/ilog.h"

namespace zo {

class instancelock {
  public:
    static constexpr int namesize = 80;  // buffer for the name, terminating zero included

    instancelock() = default;
    ~instancelock() { unlock(); }
    instancelock(const instancelock&) = delete;
    instancelock& operator=(const instancelock&) = delete;

    // Takes the lock for instname, first giving up a lock held by this object.
    // 0 on success.  -1 when the name does not fit (no log line), or when the
    // lock cannot be had; then "<name> ERROR_ALREADY_EXISTS" is logged at
    // level 20, whether another process holds it or the socket call failed.
    int lock(const char* instname, zo::ilog* log);
    void unlock();
    bool held() const { return fd_ >= 0; }
    // The lock name of the last attempt ("" before the first).
    const char* name() const { return name_; }

  private:
    int fd_ = -1;
    char name_[namesize] = {};
};

}  // namespace zo
