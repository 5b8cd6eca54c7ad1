#include "oxaapi/dburl.h"

#include <gtest/gtest.h>

namespace oxa {
namespace {

TEST(dburl, acceptsabsolutepathonlocalhost) {
    dburl u;
    std::string err;
    ASSERT_TRUE(parsedburl("sqlite://localhost/var/lib/rt.db", &u, &err)) << err;
    EXPECT_EQ(u.scheme, "sqlite");
    EXPECT_EQ(u.path, "/var/lib/rt.db");
    ASSERT_TRUE(parsedburl("SQLite://LocalHost/tmp/a%20b.db?mode=x", &u, &err)) << err;
    EXPECT_EQ(u.path, "/tmp/a b.db");
}

TEST(dburl, refusesotherforms) {
    dburl u;
    std::string err;
    const char* bad[] = {
        "",
        "/tmp/x.db",
        "sqlite:/tmp/x.db",
        "sqlite://remote/tmp/x.db",
        "sqlite://localhost",
        "sqlite://localhost/",
        "sqlite://localhost/tmp/",
        "sqlite://localhost/tmp/x%2",
        "sqlite://localhost/tmp/x%zz.db",
        "sqlite://localhost/tmp/x%00.db",
        "postgres://localhost/db",
    };
    for (const char* t : bad) {
        EXPECT_FALSE(parsedburl(t, &u, &err)) << t;
        EXPECT_FALSE(err.empty()) << t;
    }
}

}  // namespace
}  // namespace oxa
