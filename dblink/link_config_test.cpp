#include "dblink/link_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "dblink/fakes_test.h"

namespace {

std::string strip(const std::string& in) {
    zo::string out;
    stripcomments(in, out);
    return std::string(out.view());
}

TEST(StripCommentsTest, RemovesBlockCommentsByTheFileRule) {
    const char* cases[][2] = {
        {"a/*x*/b", "ab"},     {"no comment", "no comment"},
        {"a/*/b", "ab"},        // "/*/" is a whole comment: its star opens and closes it
        {"a*/b", "a*/b"},       // a closer outside a comment is text
        {"a/*b", "a"},          // an unclosed comment runs to the end
        {"a/*x*/*b*/c", "ac"},  // the closing slash can open the next comment
        {"a//b", "a//b"},       // line comments are not comments
        {"/**/", ""},          {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(strip(c[0]), c[1]) << c[0];
}

TEST(HostOfHostportTest, CutsPortAndBrackets) {
    EXPECT_EQ(hostofhostport("b:9"), "b");
    EXPECT_EQ(hostofhostport("b"), "b");
    EXPECT_EQ(hostofhostport("[::1]:802"), "::1");
}

class LinkConfigTest : public ::testing::Test {
  protected:
    bool load(const std::string& body) {
        path_ = dir_.write("link.ini", body);
        return cfg_.load_config(path_.c_str());
    }
    static std::string onelink(const std::string& extra) {
        return "{\"dblinks\":[{\"node\":\"n1\",\"url\":\"oxa://127.0.0.1:5000/db\",\"user\":\"u\","
               "\"pswd\":\"p\"}]" +
               extra + "}";
    }

    tmpdir dir_;
    std::string path_;
    link_config cfg_;
};

TEST_F(LinkConfigTest, ReadsLinksInFileOrder) {
    ASSERT_TRUE(load(R"({"dblinks":[
        {"node":"n1","url":"ws://127.0.0.1:7000","srvcafile":"ca.pem","user":"u1","pswd":"p1"},
        {"NODE":"n2","Url":"ws://127.0.0.1:7001","user":"u2","pswd":"p2"}]})"));
    ASSERT_EQ(cfg_.dblinks.size(), 2u);
    EXPECT_EQ(cfg_.dblinks[0].node.view(), "n1");
    EXPECT_EQ(cfg_.dblinks[0].srvcafile.view(), "ca.pem");
    EXPECT_EQ(cfg_.dblinks[0].pswd.view(), "p1");
    EXPECT_EQ(cfg_.dblinks[1].node.view(), "n2");
    EXPECT_EQ(cfg_.dblinks[1].url.view(), "ws://127.0.0.1:7001");
    EXPECT_TRUE(cfg_.dblinks[1].srvcafile.empty());
}

TEST_F(LinkConfigTest, ByteOrderMarkCommentAtTheEndAndReload) {
    ASSERT_TRUE(load("\xEF\xBB\xBF" + onelink("")));
    EXPECT_EQ(cfg_.dblinks.size(), 1u);
    // A comment right before the closing brace keeps the brace.
    std::string body = onelink("");
    body.insert(body.size() - 1, "/* the sqlite demo database */");
    ASSERT_TRUE(load(body));
    EXPECT_EQ(cfg_.dblinks.size(), 1u);
    // Loading again starts from nothing.
    ASSERT_TRUE(load("{}"));
    EXPECT_TRUE(cfg_.dblinks.empty());
}

TEST_F(LinkConfigTest, CommentMarkerInsideStringEatsTheText) {
    ASSERT_TRUE(load(R"({"cache_path":"/data/*x", "note":"y*/z", "cache_maxhour":3})"));
    // Everything from "/*" to "*/" is gone: the value ends up as "/dataz".
    EXPECT_EQ(cfg_.cache_path.view(), "/dataz/");
    EXPECT_EQ(cfg_.cache_maxhour, 3);
}

TEST_F(LinkConfigTest, IncompleteEntriesAreSkipped) {
    ASSERT_TRUE(load(R"({"dblinks":[
        {"node":"n1","url":"ws://127.0.0.1:7000","user":"u1"},
        "not an object",
        {"node":"","url":"ws://127.0.0.1:7000","user":"u1","pswd":"p"},
        {"node":"n3","url":"ws://127.0.0.1:7003","user":"u3","pswd":"p3"}]})"));
    ASSERT_EQ(cfg_.dblinks.size(), 1u);
    EXPECT_EQ(cfg_.dblinks[0].node.view(), "n3");
}

TEST_F(LinkConfigTest, MissingOrBrokenLinksLoadButFailTheUplink) {
    ASSERT_TRUE(load(R"({"dblinks":null})"));
    EXPECT_TRUE(cfg_.dblinks.empty());
    EXPECT_FALSE(cfg_.check_uplink());
    ASSERT_TRUE(load(R"({"dblinks":{"node":"n"}})"));
    EXPECT_TRUE(cfg_.dblinks.empty());
    ASSERT_TRUE(load(R"({"cache_maxsize":5})"));
    EXPECT_TRUE(cfg_.dblinks.empty());
    // The only entry lacks its password.
    ASSERT_TRUE(load(R"({"dblinks":[{"node":"n","url":"ws://127.0.0.1:1","user":"u"}]})"));
    EXPECT_FALSE(cfg_.check_uplink());
}

TEST_F(LinkConfigTest, UnreadableOrNonJsonFileFails) {
    EXPECT_FALSE(cfg_.load_config((dir_.path + "absent.ini").c_str()));
    EXPECT_FALSE(cfg_.load_config(dir_.path.c_str()));  // a directory
    EXPECT_FALSE(cfg_.load_config(nullptr));
    EXPECT_FALSE(load("dblinks = 1"));
    EXPECT_FALSE(load(""));
    EXPECT_FALSE(load("/* only a comment */"));
    EXPECT_FALSE(load("{\"dblinks\":[ "));  // cut short
}

TEST_F(LinkConfigTest, CacheLimitsAreClamped) {
    struct {
        const char* extra;
        int32_t size, hours;
    } cases[] = {
        {"", 1000, 8},
        {",\"cache_maxsize\":0,\"cache_maxhour\":0", 1000, 8},
        {",\"cache_maxsize\":50,\"cache_maxhour\":-5", 100, 1},
        {",\"cache_maxsize\":-7,\"cache_maxhour\":24", 100, 24},
        {",\"cache_maxsize\":2500,\"cache_maxhour\":1000", 2500, 168},
        {",\"cache_maxsize\":200000", 128000, 8},
        {",\"cache_maxsize\":\"yes\"", 100, 8},
        {",\"CACHE_MAXSIZE\":null", 1000, 8},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(load(onelink(c.extra))) << c.extra;
        EXPECT_EQ(cfg_.cache_maxsize, c.size) << c.extra;
        EXPECT_EQ(cfg_.cache_maxhour, c.hours) << c.extra;
    }
}

TEST_F(LinkConfigTest, CachePathIsNormalised) {
    ASSERT_TRUE(load(onelink(R"(,"cache_path":"D:\\data\\cache")")));
    EXPECT_EQ(cfg_.cache_path.view(), "D:/data/cache/");
    ASSERT_TRUE(load(onelink(R"(,"cache_path":"/var/cache/zo/")")));
    EXPECT_EQ(cfg_.cache_path.view(), "/var/cache/zo/");
    ASSERT_TRUE(load(onelink("")));
    EXPECT_TRUE(cfg_.cache_path.empty()) << cfg_.cache_path.view();
}

// A path or password ending in 1 to 4 backslashes reads as written (the quote
// after an even run of backslashes ends the string); every cut of the file
// fails.
TEST_F(LinkConfigTest, BackslashesBeforeTheClosingQuote) {
    for (int run = 1; run <= 4; ++run) {
        const std::string esc(2 * run, '\\');
        const std::string text =
            R"({"dblinks":[{"node":"n1","url":"oxa://127.0.0.1:5000/db","user":"u","pswd":"p)" +
            esc + R"("}],"cache_path":"D:\\data)" + esc + R"("})";
        ASSERT_TRUE(cfg_.load_text(text)) << text;
        ASSERT_EQ(cfg_.dblinks.size(), 1u);
        EXPECT_EQ(cfg_.dblinks[0].pswd.view(), "p" + std::string(run, '\\'));
        EXPECT_EQ(cfg_.cache_path.view(), "D:/data" + std::string(run, '/'));
        for (size_t cut = 0; cut < text.size(); ++cut) {
            EXPECT_FALSE(cfg_.load_text(text.substr(0, cut))) << cut << " of " << text;
        }
    }
}

TEST_F(LinkConfigTest, GbkCachePathBecomesUtf8) {
    // "D:/" followed by the two GBK characters for "test" (B2E2 CAD4).
    ASSERT_TRUE(load(onelink(",\"cache_path\":\"D:/\xB2\xE2\xCA\xD4\"")));
    EXPECT_EQ(cfg_.cache_path.view(), "D:/\xE6\xB5\x8B\xE8\xAF\x95/");
}

// The second link is the slave when it has the first one's scheme.
TEST_F(LinkConfigTest, UplinkAndSlave) {
    struct {
        const char *first, *second;  // no second link when null
        bool ok;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"ws://127.0.0.1:7000", "WS://localhost", true, "localhost", 80},
        {"wss://127.0.0.1:7000", "wss://127.0.0.2", true, "127.0.0.2", 443},
        {"oxa://127.0.0.1:7000/x", "oxa://127.0.0.3:7001/y", true, "127.0.0.3", 7001},
        {"ws://127.0.0.1:7000", "gapudp://127.0.0.1:9", true, "", 0},
        {"oxa://127.0.0.1:5000/db", nullptr, true, "", 0},
        {"ws://127.0.0.1:7000", "ws://[]:1", false, "", 0},
        {"ws://", nullptr, false, "", 0},
    };
    for (const auto& c : cases) {
        std::string body = R"({"dblinks":[{"node":"a","url":")" + std::string(c.first) +
                           R"(","user":"u","pswd":"p"})";
        if (c.second) {
            body +=
                R"(,{"node":"b","url":")" + std::string(c.second) + R"(","user":"u2","pswd":"p2"})";
        }
        ASSERT_TRUE(load(body + "]}")) << body;
        ASSERT_EQ(cfg_.check_uplink(), c.ok) << body;
        if (!c.ok) continue;
        EXPECT_EQ(cfg_.slave_host.view(), c.host) << body;
        EXPECT_EQ(cfg_.slave_port, c.port) << body;
    }
}

}  // namespace
