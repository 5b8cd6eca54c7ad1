#include "host/instancelock.h"

#include <unistd.h>

#include <string>

#include "dblink/fakes_test.h"
#include "gtest/gtest.h"

namespace {

class instancelocktest : public ::testing::Test {
  protected:
    // A name no other test run uses at the same time.
    std::string inst = "lt" + std::to_string(::getpid());
    zotest::reclog log;
};

// A second holder, another name, a killed holder and an overlong name are
// checked end to end (quorvane_test); here what only the class shows.
TEST_F(instancelocktest, NameIsFreedByUnlockAndByTheDestructor) {
    {
        instancelock gone;
        ASSERT_EQ(gone.lock(inst.c_str(), &log), 0);
    }
    instancelock a, b;
    ASSERT_EQ(a.lock(inst.c_str(), &log), 0);
    EXPECT_EQ(b.lock(inst.c_str(), &log), -1);
    EXPECT_FALSE(b.held());
    EXPECT_EQ(log.countexact(inst + ".mutex ERROR_ALREADY_EXISTS", zo::LOG_WRN), 1);
    a.unlock();
    EXPECT_EQ(b.lock(inst.c_str(), &log), 0);
    // Locking again through the holder itself gives up the old lock first.
    EXPECT_EQ(b.lock(inst.c_str(), &log), 0);
    // "<name>.mutex" holds at most 79 bytes; a longer name fails silently.
    b.unlock();
    EXPECT_EQ(a.lock((inst + std::string(73 - inst.size(), 'k')).c_str(), &log), 0);
    EXPECT_EQ(b.lock(std::string(74, 'k').c_str(), &log), -1);
    EXPECT_EQ(log.lines().size(), 1u);
}

}  // namespace
