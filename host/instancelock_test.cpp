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

TEST_F(instancelocktest, SecondHolderOfTheSameNameIsRefused) {
    {
        instancelock gone;
        ASSERT_EQ(gone.lock(inst.c_str(), &log), 0);
    }  // destruction frees the name
    instancelock a;
    ASSERT_EQ(a.lock(inst.c_str(), &log), 0);
    EXPECT_TRUE(a.held());
    EXPECT_STREQ(a.name(), (inst + ".mutex").c_str());
    EXPECT_TRUE(log.lines().empty());

    instancelock b;
    EXPECT_EQ(b.lock(inst.c_str(), &log), -1);
    EXPECT_FALSE(b.held());
    EXPECT_EQ(log.countexact(inst + ".mutex ERROR_ALREADY_EXISTS", zo::LOG_WRN), 1);

    instancelock other;
    EXPECT_EQ(other.lock((inst + "o").c_str(), &log), 0);

    a.unlock();
    EXPECT_EQ(b.lock(inst.c_str(), &log), 0);
    // Locking again through the holder itself gives up the old lock first.
    EXPECT_EQ(b.lock(inst.c_str(), &log), 0);
}

TEST_F(instancelocktest, NameOf80BytesFailsSilently) {
    instancelock a;
    std::string ok = inst + std::string(73 - inst.size(), 'k');  // "<ok>.mutex" is 79 bytes
    EXPECT_EQ(a.lock(ok.c_str(), &log), 0);
    a.unlock();
    EXPECT_EQ(a.lock(std::string(74, 'k').c_str(), &log), -1);
    EXPECT_EQ(a.lock(std::string(500, 'k').c_str(), &log), -1);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
