// tzfix_test.h - pins the process's time zone for a test and puts the old
// one back.
//
// Local-time texts depend on TZ; a test that checks them pins a zone so it
// gives the same result on every machine, and must leave TZ as it found it
// (set or unset) for the tests after it.
//
// REQUIRES: one tzfix alive at a time, on the test's own thread (TZ is
// process-wide and tzset is not thread-safe).
#pragma once
#include <stdlib.h>
#include <time.h>

#include <string>

namespace zo {

class tzfix {
  public:
    tzfix() {
        const char* tz = getenv("TZ");
        had_ = tz != nullptr;
        if (tz) old_ = tz;
    }
    explicit tzfix(const char* tz) : tzfix() { zone(tz); }
    ~tzfix() {
        if (had_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    tzfix(const tzfix&) = delete;
    tzfix& operator=(const tzfix&) = delete;

    static void zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

}  // namespace zo
