#include "base/dirs.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
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

TEST_F(DirsTest, CreatesEveryLevelWithBackslashesAndAgainWhenPresent) {
    zo::string p("D:\\data\\cache");
    ASSERT_TRUE(zo::normpath(p));
    ASSERT_TRUE(zo::normpath(p));
    EXPECT_EQ(p.view(), "D:/data/cache/");
    std::string win = root_ + "\\data\\cache\\";
    ASSERT_TRUE(zo::createdirs(win.c_str()));
    EXPECT_TRUE(isdir(root_ + "/data/cache"));
    EXPECT_TRUE(zo::createdirs(win.c_str()));
    // Without a trailing separator the last part is a directory too.
    ASSERT_TRUE(zo::createdirs((root_ + "/x/y").c_str()));
    EXPECT_TRUE(isdir(root_ + "/x/y"));
    EXPECT_TRUE(zo::createdirs(""));
    EXPECT_TRUE(zo::createdirs("/"));
}

TEST_F(DirsTest, RefusedBlockedOrOverlongDirectoryFails) {
    std::FILE* f = std::fopen((root_ + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(zo::createdirs((root_ + "/file/sub/").c_str()));
    refusingenv e(root_ + "/p");
    zo::scopedenv s(&e);
    EXPECT_FALSE(zo::createdirs((root_ + "/p/q/").c_str()));
    EXPECT_FALSE(isdir(root_ + "/p/q"));
    // An absolute path does not try to make the root: only the missing one.
    e.made.clear();
    ASSERT_TRUE(zo::createdirs((root_ + "/a/").c_str()));
    EXPECT_EQ(e.made, std::vector<std::string>{root_ + "/a"});
    // 1024 bytes are refused before anything is touched; 1023 are tried.
    std::string p = root_ + "/";
    p.append(1023 - p.size(), 'a');
    e.made.clear();
    EXPECT_FALSE(zo::createdirs((p + "b").c_str()));
    EXPECT_TRUE(e.made.empty());
    zo::createdirs(p.c_str());
    EXPECT_FALSE(e.made.empty());
}

// A name that is no UTF-8 comes out empty.
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
}

TEST_F(DirsTest, MissingOrOverlongDirectoryGivesEmptyListing) {
    EXPECT_TRUE(list(root_ + "/nothere/").empty());
    // 1021 bytes: with "*.*" and the zero the pattern needs 1025 bytes.
    std::string longdir = root_ + "/" + std::string(1019 - root_.size(), 'd') + "/";
    ASSERT_EQ(longdir.size(), 1021u);
    EXPECT_TRUE(list(longdir).empty());
    zo::dirlist l;
    EXPECT_FALSE(l.start(nullptr));
}

}  // namespace
