#include "oxaapi/dburl.h"

#include <gtest/gtest.h>

#include "ipc/url.h"

namespace oxa {
namespace {

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

// The link configuration checks the URL with the endpoint parser, which
// wants a scheme and a host that resolves.
TEST(dburl, acceptsapathonlocalhostthattheendpointparserpasses) {
    const char* text = "sqlite://localhost/var/lib/quorvane/rt.db";
    zo::url e;
    ASSERT_TRUE(e.parse(text));
    EXPECT_EQ(e.scheme.view(), "sqlite");
    EXPECT_EQ(e.port, 0);
    EXPECT_FALSE(e.ipv4.empty() && e.ipv6.empty());
    dburl u;
    std::string err;
    ASSERT_TRUE(parsedburl(text, &u, &err)) << err;
    EXPECT_EQ(u.scheme, "sqlite");
    EXPECT_EQ(u.path, "/var/lib/quorvane/rt.db");
    EXPECT_EQ(u.path, "/" + std::string(e.path.view()));
    // Scheme and host in any case; the path decoded, the query dropped.
    ASSERT_TRUE(parsedburl("SQLite://LocalHost/tmp/a%20b.db?mode=x", &u, &err)) << err;
    EXPECT_EQ(u.path, "/tmp/a b.db");
}

}  // namespace
}  // namespace oxa
