// linkstub.h - stands in for the database link instance while dblink/ is not
// built yet, so that the host can be built and tried alone.  It loads
// nothing: start() succeeds and stop() does nothing.  The host's CMake file
// uses the real velmarinst as soon as the zodblink library exists; this file
// goes away then.
//
// Thread-safety: as the real instance; everything on the main thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/ilog.h"
#include "base/string_.h"

class velmarinst {
  public:
    explicit velmarinst(zo::ilog* log) : log_(log) {}
    int start(const char* cfgpath, const char* instname) {
        ZO_LOG(log_, zo::LOG_DBG, "no database link built in: %s for %s not loaded", cfgpath,
               instname);
        return 0;
    }
    void stop() {}
    bool isconnected() const { return false; }
    bool takestatechanged() { return false; }
    void curdburl(zo::string& out) { out.release(); }

  private:
    zo::ilog* log_;
};
