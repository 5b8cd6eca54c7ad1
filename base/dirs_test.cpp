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
    std::vector<std::pair<std::string, bool>> list(const std::string& dir) {
        std::vector<std::pair<std::string, bool>> v;
        zo::dirlist l;
        l.start(dir.c_str());
        zo::string name;
        bool d = false;
        while (l.next(name, d)) v.emplace_back(std::string(name.view()), d);
        EXPECT_FALSE(l.next(name, d));  // stays ended
        std::sort(v.begin(), v.end());
        return v;
    }
    zotest::tmpdir tmp_{"zodirs."};
    const std::string root_ = tmp_.path.substr(0, tmp_.path.size() - 1);
};

TEST_F(DirsTest, NormpathTurnsBackslashesAndEndsWithSlash) {
    zo::string p("D:\\data\\cache");
    ASSERT_TRUE(zo::normpath(p));
    EXPECT_EQ(p.view(), "D:/data/cache/");
    ASSERT_TRUE(zo::normpath(p));
    EXPECT_EQ(p.view(), "D:/data/cache/");
    zo::string e;
    ASSERT_TRUE(zo::normpath(e));
    EXPECT_TRUE(e.empty());
}

TEST_F(DirsTest, CreatesEveryLevelWithBackslashesAndAgainWhenPresent) {
    std::string win = root_ + "\\data\\cache\\";
    ASSERT_TRUE(zo::createdirs(win.c_str()));
    EXPECT_TRUE(isdir(root_ + "/data"));
    EXPECT_TRUE(isdir(root_ + "/data/cache"));
    EXPECT_TRUE(zo::createdirs(win.c_str()));
    // Without a trailing separator the last part is a directory too.
    ASSERT_TRUE(zo::createdirs((root_ + "/x/y").c_str()));
    EXPECT_TRUE(isdir(root_ + "/x/y"));
    EXPECT_TRUE(zo::createdirs(""));
    EXPECT_TRUE(zo::createdirs("/"));
}

TEST_F(DirsTest, RefusedOrBlockedDirectoryFails) {
    {
        refusingenv e(root_ + "/p");
        zo::scopedenv s(&e);
        EXPECT_FALSE(zo::createdirs((root_ + "/p/q/").c_str()));
        EXPECT_FALSE(isdir(root_ + "/p/q"));
    }
    std::FILE* f = std::fopen((root_ + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(zo::createdirs((root_ + "/file/sub/").c_str()));
}

TEST_F(DirsTest, PathOf1024BytesIsRefused) {
    std::string p = root_ + "/";
    p.append(1023 - p.size(), 'a');  // 1023 bytes: accepted (name may be too long for the fs)
    std::string q = p + "b";         // 1024 bytes: refused before touching anything
    refusingenv e("");
    zo::scopedenv s(&e);
    EXPECT_FALSE(zo::createdirs(q.c_str()));
    EXPECT_TRUE(e.made.empty());
    zo::createdirs(p.c_str());
    EXPECT_FALSE(e.made.empty());
    // An absolute path does not try to make the root: only the missing one.
    e.made.clear();
    ASSERT_TRUE(zo::createdirs((root_ + "/a/").c_str()));
    EXPECT_EQ(e.made, std::vector<std::string>{root_ + "/a"});
}

TEST_F(DirsTest, ListingFlagsDirectoriesAndFiles) {
    EXPECT_EQ(list(root_ + "/"),
              (std::vector<std::pair<std::string, bool>>{{".", true}, {"..", true}}));
    ASSERT_TRUE(zo::createdirs((root_ + "/sub/").c_str()));
    std::FILE* f = std::fopen((root_ + "/ioch_1700000000").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ASSERT_EQ(::symlink((root_ + "/sub").c_str(), (root_ + "/link").c_str()), 0);
    auto v = list(root_ + "/");
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[2], std::make_pair(std::string("ioch_1700000000"), false));
    EXPECT_EQ(v[3], std::make_pair(std::string("link"), true));
    EXPECT_EQ(v[4], std::make_pair(std::string("sub"), true));
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

TEST_F(DirsTest, NonUtf8NameComesOutEmpty) {
    std::string bad = root_ + "/\xD6\xD0";
    std::FILE* f = std::fopen(bad.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    auto v = list(root_ + "/");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].first, "");
}

TEST_F(DirsTest, ModdirIsTheTestProgramsDirectory) {
    zo::string d;
    ASSERT_TRUE(zo::moddir(d));
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.back(), '/');
    std::string self = std::string(d.view()) + program_invocation_short_name;
    EXPECT_EQ(::access(self.c_str(), X_OK), 0) << self;
}

}  // namespace
