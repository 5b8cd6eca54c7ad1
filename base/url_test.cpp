#include "base/url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class UrlTest : public ::testing::Test {
  protected:
    bool parse(const std::string& s) { return u.parse(s.data(), s.size()); }
    zo::url u;
};

// One url object parses every row in turn, so a member left over from the
// row before shows up as a mismatch.
TEST_F(UrlTest, Parts) {
    const struct {
        const char* text;
        const char *scheme, *ipv4, *ipv6;
        int port;
        const char *hostport, *path, *query;
    } rows[] = {
        // A query without a path: the '?' after the host still starts it.
        {"udp://127.0.0.1:999?level=dbg", "udp", "127.0.0.1", "", 999, "127.0.0.1:999", "",
         "level=dbg"},
        // Everything after the first '/' up to '?' is the path, slashes included.
        {"gapudp://127.0.0.1:5000/a/b?x=1?y=2", "gapudp", "127.0.0.1", "", 5000, "127.0.0.1:5000",
         "a/b", "x=1?y=2"},
        {"udp://127.0.0.1/p?level=dbg\nrest=ignored", "udp", "127.0.0.1", "", 0, "127.0.0.1", "p",
         "level=dbg"},  // the query ends at a line feed
        // A ':' that is not followed by "//" is the port separator, not a scheme.
        {"127.0.0.1:802", "", "127.0.0.1", "", 802, "127.0.0.1:802", "", ""},
        {"127.0.0.1", "", "127.0.0.1", "", 0, "127.0.0.1", "", ""},
        // The port text is read by decint (its own tests cover the digits), then cut to 16 bits.
        {"ipc://127.0.0.1:70000", "ipc", "127.0.0.1", "", 4464, "127.0.0.1:70000", "", ""},
        {"udp://[::1]:999/simu1?level=dbg", "udp", "", "::1", 999, "[::1]:999", "simu1",
         "level=dbg"},
        {"udp://[::1]:999?level=all", "udp", "", "::1", 999, "[::1]:999", "", "level=all"},
        {"[::ffff:10.1.2.3]:5", "", "", "::ffff:10.1.2.3", 5, "[::ffff:10.1.2.3]:5", "", ""},
    };
    for (const auto& r : rows) {
        ASSERT_TRUE(parse(r.text)) << r.text;
        EXPECT_EQ(u.scheme.view(), r.scheme) << r.text;
        EXPECT_EQ(u.ipv4.view(), r.ipv4) << r.text;
        EXPECT_EQ(u.ipv6.view(), r.ipv6) << r.text;
        EXPECT_EQ(u.port, r.port) << r.text;
        EXPECT_EQ(u.hostport.view(), r.hostport) << r.text;
        EXPECT_EQ(u.path.view(), r.path) << r.text;
        EXPECT_EQ(u.query.view(), r.query) << r.text;
    }
}

TEST_F(UrlTest, FailuresLeaveNoPartsBehind) {
    for (const char* bad : {"", "ipc:///path", "ipc://:802", "ipc://[]:802",
                            "ipc://[::1]:", "[::1]:/x", "ipc://[::1]:?q"}) {
        ASSERT_TRUE(parse("udp://[::1]:9/p?q=1"));
        EXPECT_FALSE(parse(bad)) << bad;
        EXPECT_EQ(u.port, 0) << bad;
        EXPECT_EQ(u.ipv6.view(), "") << bad;
    }
    EXPECT_FALSE(u.parse(nullptr));
    zo::string v4, v6;
    ASSERT_EQ(zo::url::resolve("localhost", v4, v6), 0);
    EXPECT_TRUE(!v4.empty() || !v6.empty());
}

}  // namespace
