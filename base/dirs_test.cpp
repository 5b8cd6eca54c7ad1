#include "base/dirs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/env.h"
#include "tests/support/testsupport.h"

namespace {

bool isdir(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A file system that refuses to make one chosen directory.
class refusingenv : public zo::envwrapper {
  public:
    explicit refusingenv(std::string refused)
        : envwrapper(zo::env::defaultenv()), refused_(std::move(refused)) {}
    bool makedir(const std::string& p) override {
        made.push_back(p);
        return p == refused_ ? false : target()->makedir(p);
    }
    std::vector<std::string> made;

  private:
    std::string refused_;
};

class DirsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(tmp_.path.empty()); }
    // The listing, sorted, as "name" for a file and "name/" for a directory,
    // separated by '|'.
    std::string list(const std::string& dir) {
        std::vector<std::string> v;
        zo::dirlist l;
        l.start(dir.c_str());
        zo::string name;
        bool d = false;
        while (l.next(name, d)) v.push_back(std::string(name.view()) + (d ? "/" : ""));
        EXPECT_FALSE(l.next(name, d));  // stays ended
        std::sort(v.begin(), v.end());
        std::string all;
        for (size_t i = 0; i < v.size(); ++i) all += (i ? "|" : "") + v[i];
        return all;
    }
    zotest::tmpdir tmp_{"zodirs."};
    const std::string root_ = tmp_.path.substr(0, tmp_.path.size() - 1);
};

// Backslashes count as separators (normpath is checked in
// host/velmarhost_test); present levels are fine; a file in the way or a
// refused level fails; only missing levels are made, and 1024 bytes are
// refused before anything is touched.
TEST_F(DirsTest, CreatesEveryMissingLevelOrFails) {
    refusingenv e(root_ + "/p");
    zo::scopedenv s(&e);
    ASSERT_TRUE(zo::createdirs((root_ + "\\data\\cache\\").c_str()));
    EXPECT_TRUE(isdir(root_ + "/data/cache"));
    e.made.clear();
    ASSERT_TRUE(zo::createdirs((root_ + "/data/x").c_str()));  // no trailing separator
    EXPECT_EQ(e.made, std::vector<std::string>{root_ + "/data/x"});
    EXPECT_TRUE(isdir(root_ + "/data/x"));
    EXPECT_TRUE(zo::createdirs("/"));
    EXPECT_FALSE(zo::createdirs((root_ + "/p/q/").c_str()));
    EXPECT_FALSE(isdir(root_ + "/p/q"));
    EXPECT_FALSE(zo::createdirs("/dev/null/sub/"));  // a file in the way
    std::string longp = root_ + "/";
    longp.append(1023 - longp.size(), 'a');
    e.made.clear();
    EXPECT_FALSE(zo::createdirs((longp + "b").c_str()));
    EXPECT_TRUE(e.made.empty());
    zo::createdirs(longp.c_str());
    EXPECT_FALSE(e.made.empty());
}

// A name that is no UTF-8 comes out empty; a missing directory or one whose
// pattern would pass 1024 bytes lists nothing.
TEST_F(DirsTest, ListingFlagsDirectoriesAndFiles) {
    EXPECT_EQ(list(root_ + "/"), "../|./");
    ASSERT_TRUE(zo::createdirs((root_ + "/sub/").c_str()));
    for (const char* name : {"/ioch_1700000000", "/\xD6\xD0"}) {
        std::FILE* f = std::fopen((root_ + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    ASSERT_EQ(::symlink((root_ + "/sub").c_str(), (root_ + "/link").c_str()), 0);
    EXPECT_EQ(list(root_ + "/"), "|../|./|ioch_1700000000|link/|sub/");
    EXPECT_TRUE(list(root_ + "/nothere/").empty());
    // 1021 bytes: with "*.*" and the zero the pattern needs 1025 bytes.
    EXPECT_TRUE(list(root_ + "/" + std::string(1019 - root_.size(), 'd') + "/").empty());
    zo::dirlist l;
    EXPECT_FALSE(l.start(nullptr));
}

}  // namespace
