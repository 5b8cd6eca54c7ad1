#include "dblink/link_config.h"

#include <gtest/gtest.h>

#include <string>

#include "dblink/fakes_test.h"

namespace {

TEST(StripCommentsTest, RemovesBlockCommentsByTheFileRule) {
    const char* cases[][2] = {
        {"a/*x*/b", "ab"},     {"no comment", "no comment"},
        {"a/*/b", "ab"},        // "/*/" is a whole comment: its star opens and closes it
        {"a*/b", "a*/b"},       // a closer outside a comment is text
        {"a/*x*/*b*/c", "ac"},  // the closing slash can open the next comment
    };
    for (const auto& c : cases) {
        zo::string out;
        stripcomments(c[0], out);
        EXPECT_EQ(out.view(), c[1]) << c[0];
    }
}

std::string link(const std::string& node, const std::string& url = "ws://127.0.0.1:7000",
                 const std::string& pswd = "p") {
    return R"({"node":")" + node + R"(","url":")" + url + R"(","user":"u","pswd":")" + pswd + "\"}";
}

// What a file yields: the links kept (their nodes), whether they make an
// uplink and the slave the second one names (when it has the first one's
// scheme), the cache as the program uses it; or a file that does not load.
TEST(LinkConfigTest, FilesLoadTheirLinksAndCache) {
    const std::string one = R"({"dblinks":[)" + link("n1") + "]";
    const auto two = [](const char* first, const char* second) {
        return R"({"dblinks":[)" + link("a", first) + "," + link("b", second) + "]}";
    };
    const struct {
        std::string text;
        const char* nodes;   // in file order; null: the file does not load
        const char* uplink;  // the slave's host:port; null: no uplink
        const char* cache;
        int32_t size, hours;
    } rows[] = {
        {R"({"dblinks":[{"NODE":"n1","Url":"ws://127.0.0.1:1","user":"u","pswd":"p","srvcafile":"ca.pem"},)" +
             link("n2") + "]}",
         "n1 n2 ", "127.0.0.1:7000", "", 1000, 8},
        {two("ws://127.0.0.1:7000", "WS://localhost"), "a b ", "localhost:80", "", 1000, 8},
        {two("wss://127.0.0.1:7000", "wss://127.0.0.2"), "a b ", "127.0.0.2:443", "", 1000, 8},
        {two("oxa://127.0.0.1:7000/x", "oxa://[::1]:7001/y"), "a b ", "::1:7001", "", 1000, 8},
        {two("ws://127.0.0.1:7000", "gapudp://127.0.0.1:9"), "a b ", "", "", 1000, 8},
        {two("ws://127.0.0.1:7000", "ws://[]:1"), "a b ", nullptr, "", 1000, 8},
        {R"({"dblinks":[)" + link("a", "ws://") + "]}", "a ", nullptr, "", 1000, 8},
        {"\xEF\xBB\xBF" + one + "}", "n1 ", "", "", 1000, 8},
        // A comment right before the closing brace keeps the brace.
        {one + "/* the sqlite demo database */}", "n1 ", "", "", 1000, 8},
        // Entries lacking a member, or not objects, are skipped (qvadm_test).
        {R"({"dblinks":[)" + link("") + "," + link("n3") + "]}", "n3 ", "", "", 1000, 8},
        {one + R"(,"cache_path":"D:\\data\\cache","cache_maxsize":0,"cache_maxhour":0})", "n1 ", "",
         "D:/data/cache/", 1000, 8},
        {one + R"(,"cache_path":"/var/zo/","cache_maxsize":50,"cache_maxhour":-5})", "n1 ", "",
         "/var/zo/", 100, 1},
        {one + R"(,"cache_maxsize":200000,"CACHE_MAXHOUR":null})", "n1 ", "", "", 128000, 8},
        // "D:/" and the two GBK characters for "test" (B2E2 CAD4).
        {one + ",\"cache_path\":\"D:/\xB2\xE2\xCA\xD4\"}", "n1 ", "",
         "D:/\xE6\xB5\x8B\xE8\xAF\x95/", 1000, 8},
        {"dblinks = 1", nullptr, nullptr, "", 0, 0},
        {"", nullptr, nullptr, "", 0, 0},
        {"/* only a comment */", nullptr, nullptr, "", 0, 0},
    };
    tmpdir dir;
    link_config cfg;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        // Loading again starts from nothing.
        ASSERT_TRUE(cfg.load_text(one + R"(,"cache_path":"/x","cache_maxsize":5})"));
        ASSERT_EQ(cfg.load_config(dir.write("link.ini", r.text).c_str()), r.nodes != nullptr);
        if (!r.nodes) continue;
        std::string nodes;
        for (const dblink_cfg& l : cfg.dblinks) nodes += std::string(l.node.view()) + " ";
        EXPECT_EQ(nodes, r.nodes);
        ASSERT_EQ(cfg.check_uplink(), r.uplink != nullptr);
        std::string slave(cfg.slave_host.view());
        if (cfg.slave_port) slave += ":" + std::to_string(cfg.slave_port);
        if (r.uplink) {
            EXPECT_EQ(slave, r.uplink);
        }
        EXPECT_EQ(cfg.cache_path.view(), r.cache);
        EXPECT_EQ(cfg.cache_maxsize, r.size);
        EXPECT_EQ(cfg.cache_maxhour, r.hours);
    }
    cfg.load_text(rows[0].text);
    EXPECT_EQ(cfg.dblinks[0].srvcafile.view(), "ca.pem");
    EXPECT_EQ(cfg.dblinks[0].url.view(), "ws://127.0.0.1:1");
    EXPECT_FALSE(cfg.load_config((dir.path + "absent.ini").c_str()));
    EXPECT_FALSE(cfg.load_config(dir.path.c_str()));  // a directory
    EXPECT_FALSE(cfg.load_config(nullptr));
}

}  // namespace
