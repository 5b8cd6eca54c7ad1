#include "ipc/url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class UrlTest : public ::testing::Test {
  protected:
    bool parse(const std::string& s) { return u.parse(s.data(), s.size()); }
    zo::url u;
};

TEST_F(UrlTest, IpcEndpoint) {
    ASSERT_TRUE(parse("ipc://127.0.0.1:802"));
    EXPECT_EQ(u.scheme.view(), "ipc");
    EXPECT_EQ(u.ipv4.view(), "127.0.0.1");
    EXPECT_EQ(u.ipv6.view(), "");
    EXPECT_EQ(u.port, 802);
    EXPECT_EQ(u.hostport.view(), "127.0.0.1:802");
    EXPECT_EQ(u.path.view(), "");
    EXPECT_EQ(u.query.view(), "");
}

TEST_F(UrlTest, PathAndQuery) {
    ASSERT_TRUE(parse("udp://127.0.0.1:999/simu1"));
    EXPECT_EQ(u.scheme.view(), "udp");
    EXPECT_EQ(u.path.view(), "simu1");
    EXPECT_EQ(u.query.view(), "");
    ASSERT_TRUE(parse("udp://127.0.0.1:999/simu1?level=dbg"));
    EXPECT_EQ(u.path.view(), "simu1");
    EXPECT_EQ(u.query.view(), "level=dbg");
    EXPECT_EQ(u.port, 999);
    // Query without a path: the '?' after the host still starts it.
    ASSERT_TRUE(parse("udp://127.0.0.1:999?level=dbg"));
    EXPECT_EQ(u.hostport.view(), "127.0.0.1:999");
    EXPECT_EQ(u.port, 999);
    EXPECT_EQ(u.path.view(), "");
    EXPECT_EQ(u.query.view(), "level=dbg");
    // Everything after the first '/' up to '?' is the path, slashes included.
    ASSERT_TRUE(parse("gapudp://127.0.0.1:5000/a/b?x=1?y=2"));
    EXPECT_EQ(u.path.view(), "a/b");
    EXPECT_EQ(u.query.view(), "x=1?y=2");
}

TEST_F(UrlTest, QueryEndsAtLineFeed) {
    ASSERT_TRUE(parse("udp://127.0.0.1/p?level=dbg\nrest=ignored"));
    EXPECT_EQ(u.query.view(), "level=dbg");
    EXPECT_EQ(u.port, 0);
}

TEST_F(UrlTest, NoScheme) {
    ASSERT_TRUE(parse("127.0.0.1:802"));
    EXPECT_EQ(u.scheme.view(), "");
    EXPECT_EQ(u.ipv4.view(), "127.0.0.1");
    EXPECT_EQ(u.port, 802);
    // A ':' that is not followed by "//" is the port separator, not a scheme.
    ASSERT_TRUE(parse("127.0.0.1:80/x"));
    EXPECT_EQ(u.scheme.view(), "");
    EXPECT_EQ(u.port, 80);
    EXPECT_EQ(u.path.view(), "x");
    ASSERT_TRUE(parse("127.0.0.1"));
    EXPECT_EQ(u.port, 0);
    EXPECT_EQ(u.hostport.view(), "127.0.0.1");
}

TEST_F(UrlTest, PortTextReadLikeAtoiAndCutTo16Bits) {
    ASSERT_TRUE(parse("ipc://127.0.0.1:70000"));
    EXPECT_EQ(u.port, 4464);
    ASSERT_TRUE(parse("ipc://127.0.0.1:80x"));
    EXPECT_EQ(u.port, 80);
    ASSERT_TRUE(parse("ipc://127.0.0.1:abc"));
    EXPECT_EQ(u.port, 0);
    ASSERT_TRUE(parse("ipc://127.0.0.1:"));
    EXPECT_EQ(u.port, 0);
    ASSERT_TRUE(parse("ipc://127.0.0.1:-1"));
    EXPECT_EQ(u.port, 65535);
    ASSERT_TRUE(parse("ipc://127.0.0.1:99999999999999"));
    EXPECT_EQ(u.port, 65535);  // stops at the 32-bit limit, then cut
}

TEST_F(UrlTest, Ipv6Literal) {
    ASSERT_TRUE(parse("ipc://[::1]:802"));
    EXPECT_EQ(u.ipv6.view(), "::1");
    EXPECT_EQ(u.ipv4.view(), "");  // only IPv6 is fine
    EXPECT_EQ(u.port, 802);
    EXPECT_EQ(u.hostport.view(), "[::1]:802");
    ASSERT_TRUE(parse("udp://[::1]:999/simu1?level=dbg"));
    EXPECT_EQ(u.port, 999);
    EXPECT_EQ(u.path.view(), "simu1");
    EXPECT_EQ(u.query.view(), "level=dbg");
    ASSERT_TRUE(parse("udp://[::1]/simu1"));
    EXPECT_EQ(u.port, 0);
    EXPECT_EQ(u.hostport.view(), "[::1]");
    EXPECT_EQ(u.path.view(), "simu1");
    ASSERT_TRUE(parse("udp://[::1]:999?level=all"));
    EXPECT_EQ(u.hostport.view(), "[::1]:999");
    EXPECT_EQ(u.path.view(), "");
    EXPECT_EQ(u.query.view(), "level=all");
    ASSERT_TRUE(parse("[::ffff:10.1.2.3]:5"));
    EXPECT_EQ(u.scheme.view(), "");
    EXPECT_EQ(u.port, 5);
}

TEST_F(UrlTest, Failures) {
    EXPECT_FALSE(parse(""));
    EXPECT_FALSE(u.parse(nullptr));
    EXPECT_FALSE(parse("ipc:///path"));   // empty host part
    EXPECT_FALSE(parse("ipc://:802"));    // empty host
    EXPECT_FALSE(parse("ipc://[]:802"));  // empty literal
    EXPECT_FALSE(parse("ipc://[::1]:"));  // ':' with no port
    EXPECT_FALSE(parse("[::1]:/x"));
    EXPECT_FALSE(parse("ipc://[::1]:?q"));
}

TEST_F(UrlTest, MembersAreEmptiedOnEveryParse) {
    ASSERT_TRUE(parse("udp://127.0.0.1:9/p?q=1"));
    ASSERT_TRUE(parse("[::1]:7"));
    EXPECT_EQ(u.scheme.view(), "");
    EXPECT_EQ(u.ipv4.view(), "");
    EXPECT_EQ(u.path.view(), "");
    EXPECT_EQ(u.query.view(), "");
    EXPECT_FALSE(parse("ipc://:1"));
    EXPECT_EQ(u.port, 0);
    EXPECT_EQ(u.ipv6.view(), "");
}

TEST_F(UrlTest, ResolveKeepsFirstAddressOfEachFamily) {
    zo::string v4, v6;
    ASSERT_EQ(zo::url::resolve("localhost", v4, v6), 0);
    EXPECT_TRUE(!v4.empty() || !v6.empty());
    zo::string a4("keep"), a6;
    ASSERT_EQ(zo::url::resolve("127.0.0.2", a4, a6), -1);  // ipv4 already filled
    EXPECT_EQ(a4.view(), "keep");
}

TEST_F(UrlTest, ReaduntilMovesPastDelimiterOrStopsAtEnd) {
    const char t[] = "ab:cd";
    size_t pos = 0;
    zo::string out;
    EXPECT_TRUE(zo::url::readuntil(pos, ':', t, 5, out));
    EXPECT_EQ(pos, 3u);
    EXPECT_EQ(out.view(), "ab");
    EXPECT_FALSE(zo::url::readuntil(pos, ':', t, 5, out));
    EXPECT_EQ(pos, 5u);
    EXPECT_EQ(out.view(), "abcd");  // appended, not replaced
    EXPECT_FALSE(zo::url::readuntil(pos, ':', t, 5, out));
    EXPECT_EQ(pos, 5u);
}

TEST_F(UrlTest, EveryPrefixOfAUrlParsesOrFailsCleanly) {
    const std::string full = "udp://[::1]:999/simu1?level=dbg\nx";
    // Shorter prefixes lose the "//" and would ask the name service for "udp".
    for (size_t n = 7; n <= full.size(); ++n) {
        zo::url v;
        bool ok = v.parse(full.data(), n);
        if (n < 9 || n == 12) {
            EXPECT_FALSE(ok) << n;  // "[", "[:" are no addresses; "[::1]:" has no port
        } else {
            EXPECT_TRUE(ok) << n;  // "::", "::1" and on resolve
        }
        EXPECT_LE(v.hostport.size(), n);
        EXPECT_LE(v.path.size() + v.query.size(), n);
    }
}

}  // namespace
