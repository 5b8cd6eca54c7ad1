#include "host/hostpath.h"

#include "gtest/gtest.h"

namespace {

TEST(hostpath, ConfigPathIsModdirConfigFile) {
    EXPECT_EQ(cfgpath("D:/prog/bin/", "simu1.ini").view(), "D:/prog/bin/config/simu1.ini");
    // Without a module directory the path is relative to the current one.
    EXPECT_EQ(cfgpath("", "simu1.ini").view(), "config/simu1.ini");
    EXPECT_EQ(cfgpath(nullptr, nullptr).view(), "config/");
    // cfgfile is taken as it is, even when absolute.
    EXPECT_EQ(cfgpath("/opt/q/", "/etc/x.ini").view(), "/opt/q/config//etc/x.ini");
}

}  // namespace
