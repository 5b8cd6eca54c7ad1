// ownerthread.h - the debug-build check behind "owner's thread only".
//
// The first thread that calls check() becomes the owner; a later call from
// any other thread fails an assert.  Release builds (NDEBUG) keep no state
// and check nothing.
//
// Thread-safety: check() is meant to be called from the owner only; a call
// from another thread is exactly what it reports.
#pragma once
#include <cassert>
#include <thread>

namespace zo {

class ownerthread {
  public:
    void check() noexcept {
#ifndef NDEBUG
        std::thread::id me = std::this_thread::get_id();
        if (owner_ == std::thread::id()) owner_ = me;
        assert(owner_ == me && "called from a thread that does not own the object");
#endif
    }

  private:
#ifndef NDEBUG
    std::thread::id owner_;
#endif
};

}  // namespace zo
