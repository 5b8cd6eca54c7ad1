#include "tools/qvadm/qvadm.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "base/env.h"
#include "tests/support/testsupport.h"
#include "cache/cachefile.h"
#include "cache/localcache.h"
#include "oxaapi/sqlitedb.h"
#include "tools/qvadm/cfgcheck.h"

namespace {

struct result {
    int code = -1;
    std::string out, err;
};

result qvadm(std::vector<std::string> args) {
    args.insert(args.begin(), "qvadm");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char *obuf = nullptr, *ebuf = nullptr;
    size_t olen = 0, elen = 0;
    FILE* out = open_memstream(&obuf, &olen);
    FILE* err = open_memstream(&ebuf, &elen);
    result r;
    r.code = qvadm::run(static_cast<int>(args.size()), argv.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    r.out.assign(obuf, olen);
    r.err.assign(ebuf, elen);
    free(obuf);
    free(ebuf);
    return r;
}

void writefile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string replaceall(std::string s, const std::string& from, const std::string& to) {
    for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size()) {
        s.replace(p, from.size(), to);
    }
    return s;
}

// A configuration whose members are the given ones; @D@ is the test's
// directory.
std::string config(const std::string& members) {
    return "{\n"
           "  \"dblinks\": [{\"node\": \"n\", \"url\": \"sqlite://localhost@D@rt.db\", "
           "\"user\": \"u\", \"pswd\": \"p\"}],\n" +
           members + "\n}\n";
}

// Every kind of fault an operator makes, with where the checker points and
// what it says Quorvane will do instead.
TEST(QvadmCheckTest, EveryKindOfFaultIsFoundWithItsPlaceAndItsConsequence) {
    struct row {
        const char* what;
        std::string text;
        int code;
        std::vector<std::string> expect;  // lines of the output, in order, each a substring
    };
    const std::string cache = "  \"cache_path\": \"@D@cache\"";
    const std::vector<row> rows = {
        {"a good file",
         "/* ok */\n" + config(cache + ",\n  \"cache_maxsize\": 2000"),
         0,
         {"@F@:4:17: note: the cache directory @D@cache/ does not exist yet; Quorvane makes it",
          "@F@: ok; Quorvane uses client mode, database sqlite://localhost@D@rt.db, cache "
          "@D@cache/ (at most 2000 MB, 8 hours)."}},
        {"a misspelt key",
         config("  \"cache_pth\": \"@D@cache\""),
         1,
         {"@F@:3:3: error: unknown key \"cache_pth\" (did you mean \"cache_path\"?); Quorvane "
          "ignores it",
          "@F@: error: no \"cache_path\": values that come while the database is away are lost",
          "@F@: 2 errors; Quorvane uses client mode, database sqlite://localhost@D@rt.db, no "
          "local cache."}},
        {"a key at the wrong level",
         "{\"dblinks\": [{\"node\": \"n\", \"url\": \"sqlite://localhost@D@rt.db\", \"user\": "
         "\"u\", \"pswd\": \"p\", \"Cache_Path\": \"/x\"}], \"url\": 1, \"cache_path\": \"\"}",
         1,
         {"error: unknown key \"Cache_Path\": it belongs at the top level, not inside a link",
          "error: unknown key \"url\": it belongs inside a link of \"dblinks\"",
          "note: no local cache"}},
        {"a metrics directory that is not there",
         config(cache + ",\n  \"metrics_path\": \"@D@prom\""),
         1,
         {"@F@:4:19: error: the metrics directory @D@prom/ does not exist: Quorvane does not make "
          "it, and writes no metrics"}},
        {"a missing comma",
         config(cache + "\n  \"cache_maxhour\": 4"),
         1,
         {"@F@:4:3: error: syntax: a comma is missing before this member",
          "@F@: 1 error; Quorvane uses client mode"}},
        {"a doubled comma",
         config("  \"cache_maxhour\": 4,,\n" + cache),
         1,
         {"@F@:3:22: error: syntax: two commas in a row"}},
        {"a line comment",
         config("  // old: \"cache_path\": \"/x\"\n" + cache),
         1,
         {"@F@:3:3: error: syntax: \"//\" does not start a comment here; only /* ... */ does",
          "Quorvane does not start with this file (it logs \"load config @F@ failed.\")"}},
        {"a comment marker inside a string",
         config("  \"cache_path\": \"@D@c/*old*/\""),
         1,
         {"@F@:3:(\\d+): error: \"/\\*\" inside a string opens a comment"}},
        {"an unclosed comment",
         config(cache + ",\n  /* \"cache_maxhour\": 4"),
         1,
         {"@F@:4:3: error: this comment is never closed: Quorvane ignores the rest of the file",
          "Quorvane does not start with this file"}},
        {"an unclosed comment at the end",
         config(cache) + "/* end",
         0,
         {"@F@:5:1: note: this comment is never closed (harmless here"}},
        {"a text where a number belongs",
         config(cache + ",\n  \"cache_maxhour\": \"8h\",\n  \"cache_maxsize\": 8h"),
         1,
         {"@F@:4:20: error: \"cache_maxhour\" must be a whole number, not \"8h\"; Quorvane uses 8 "
          "hours",
          "@F@:5:20: error: syntax: not a number, true, false or null",
          "@F@:5:20: error: \"cache_maxsize\" must be a whole number, not 8h; Quorvane uses 100 "
          "MB"}},
        {"numbers outside the limits",
         config(cache + ",\n  \"cache_maxsize\": 50,\n  \"cache_maxhour\": 1000"),
         1,
         {"error: \"cache_maxsize\" 50 is below the least, 100; Quorvane uses 100 MB",
          "error: \"cache_maxhour\" 1000 is above the most, 168; Quorvane uses 168 hours",
          "(at most 100 MB, 168 hours)"}},
        {"zero and null are the defaults",
         config(cache + ",\n  \"cache_maxsize\": 0,\n  \"cache_maxhour\": null"),
         0,
         {"note: \"cache_maxsize\" 0 means the default, 1000 MB",
          "note: \"cache_maxhour\" is null: Quorvane uses the default, 8 hours"}},
        {"a key given twice",
         config(cache + ",\n  \"CACHE_PATH\": \"/elsewhere\""),
         1,
         {"@F@:4:3: error: \"CACHE_PATH\" is given again (letter case does not matter); Quorvane "
          "reads only the first, at @F@:3:3"}},
        {"wrong types and incomplete links",
         "{\"dblinks\": [{\"node\": \"n\", \"url\": \"sqlite://localhost@D@rt.db\", \"user\": "
         "\"u\", \"pswd\": 1234}, [1], {\"node\": \"m\", \"url\": \"sqlite://localhost@D@x.db\", "
         "\"user\": \"u\"}], \"cache_path\": \"\"}",
         1,
         {"error: link 1: \"pswd\" must be a text in quotes",
          "error: link 2 is not an object {...}; Quorvane skips it",
          "error: link 3 has no \"pswd\": Quorvane skips this link"}},
        {"no link at all",
         "{\"dblinks\": {\"node\": \"n\"}, \"cache_path\": \"\"}",
         1,
         {"@F@:1:13: error: \"dblinks\" must be an array of link objects",
          "Quorvane does not start (\"@F@ uplink config error.\")"}},
        {"URLs that do not parse",
         "{\"dblinks\": [{\"node\": \"n\", \"url\": \"sqlite://127.0.0.1@D@rt.db\", \"user\": "
         "\"u\", \"pswd\": \"p\"}, {\"node\": \"m\", \"url\": \"mysql://localhost/x\", \"user\": "
         "\"u\", \"pswd\": \"p\"}, {\"node\": \"g\", \"url\": \"gapudp://127.0.0.1\", \"user\": "
         "\"u\", \"pswd\": "
         "\"p\"}], \"cache_path\": \"\"}",
         1,
         {"error: link 1: \"sqlite://127.0.0.1@D@rt.db\" is not a database URL: database host "
          "must be localhost",
          "error: link 2: \"mysql://localhost/x\" is not a database URL: unsupported database "
          "scheme mysql",
          "error: link 3: \"gapudp://127.0.0.1\" has no port (gapudp://HOST:PORT)",
          "note: link 3 is kept but not used"}},
        {"gapudp mode",
         "{\"dblinks\": [{\"node\": \"g\", \"url\": \"gapudp://127.0.0.1:9\", "
         "\"user\": \"u\", \"pswd\": \"p\"}], \"cache_path\": \"@D@cache\"}",
         0,
         {"note: in gapudp mode nothing is cached",
          "@F@: ok; Quorvane uses gapudp mode to gapudp://127.0.0.1:9."}},
        {"a database directory that does not exist",
         "{\"dblinks\": [{\"node\": \"n\", \"url\": \"sqlite://localhost@D@no/rt.db\", \"user\": "
         "\"u\", \"pswd\": \"p\"}], \"cache_path\": \"\"}",
         1,
         {"error: link 1: the database's directory @D@no/ does not exist"}},
        {"a relative cache path",
         config("  \"cache_path\": \"cache\""),
         1,
         {"@F@:3:17: error: cache_path \"cache/\" is relative"}},
        {"a file in the way of the cache directory",
         config("  \"cache_path\": \"@D@file/c\""),
         1,
         {"error: the cache directory @D@file/c/ cannot be made: @D@file is not a directory; "
          "Quorvane runs without a cache"}},
        {"a cache directory nobody can write",
         config("  \"cache_path\": \"/proc/1/qvadm\""),
         1,
         {"error: the cache directory /proc/1/qvadm/ cannot be made: cannot write in /proc/1"}},
        {"an unknown escape",
         config("  \"cache_path\": \"C:\\data\""),
         1,
         {"@F@:3:20: error: syntax: an unknown escape (write \\\\ for a backslash)"}},
        {"an array at the top", "[" + config(cache) + "]", 1, {"error: the file holds an array"}},
        {"no file", "@MISSING@", 1,
         {"@F@: error: cannot be read (No such file or directory): Quorvane logs \"load config "
          "@F@ failed.\""}},
        {"an empty file", "", 1, {"@F@: error: no JSON object in the file"}},
        {"values nested too deeply",
         config(cache + ",\n  \"x\": " + std::string(70, '[') + std::string(70, ']')), 1,
         {"error: values nested deeper than 64 levels"}},
        {"no dblinks", "{\"cache_path\": \"\"}", 1,
         {"@F@: error: no \"dblinks\": Quorvane has no database link and does not start"}},
        {"an empty password",
         "{\"dblinks\": [{\"node\": \"n\", \"url\": \"sqlite://localhost@D@rt.db\", \"user\": "
         "\"u\", \"pswd\": \"\"}], \"cache_path\": \"\"}",
         1,
         {"error: link 1 has an empty \"pswd\": Quorvane skips this link",
          "uplink config error."}},
        {"a directory where the database file belongs",
         "{\"dblinks\": [{\"node\": \"n\", \"url\": \"sqlite://localhost@D@dir\", \"user\": "
         "\"u\", \"pswd\": \"p\"}], \"cache_path\": \"\"}",
         1,
         {"error: link 1: @D@dir is not a file"}},
        {"a cache directory that is there but not writable",
         config("  \"cache_path\": \"/proc/1\""), 1,
         {"error: cannot write in the cache directory /proc/1/ ("}},
    };
    for (const row& r : rows) {
        zotest::tmpdir d("qvadmchk");
        writefile(d.path + "file", "");
        ::mkdir((d.path + "dir").c_str(), 0755);
        const std::string f = d.path + "q.ini";
        if (r.text != "@MISSING@") writefile(f, replaceall(r.text, "@D@", d.path));
        result res = qvadm({"check", f});
        EXPECT_EQ(res.code, r.code) << r.what << "\n" << res.out << res.err;
        // The expected lines come in this order; a pattern is a regex when
        // it has a group.
        size_t from = 0;
        for (std::string e : r.expect) {
            e = replaceall(replaceall(e, "@D@", d.path), "@F@", f);
            size_t at = std::string::npos;
            if (e.find("(\\d+)") != std::string::npos) {
                std::smatch m;
                std::string rest = res.out.substr(from);
                if (std::regex_search(rest, m, std::regex(e))) at = from + m.position(0);
            } else {
                at = res.out.find(e, from);
            }
            EXPECT_NE(at, std::string::npos) << r.what << ": no \"" << e << "\" in\n" << res.out;
            if (at != std::string::npos) from = at;
        }
    }
}

// The configurations that come with Quorvane pass the strict reading.
TEST(QvadmCheckTest, TheSampleConfigurationsPassTheStrictReading) {
    const char* bin = getenv("ZO_BIN");
    if (!bin) GTEST_SKIP() << "ZO_BIN is set when CTest runs the test";
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(std::string(bin) + "/config")) {
        if (e.path().extension() != ".ini") continue;
        ++n;
        result r = qvadm({"check", e.path().string()});
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_NE(r.out.find(": ok; Quorvane uses "), std::string::npos) << r.out;
    }
    EXPECT_GE(n, 1);
}

TEST(QvadmCheckTest, NearestKeyOnlyForLikelyMisspellings) {
    const std::vector<const char*> known = {"dblinks", "cache_path", "cache_maxsize",
                                            "cache_maxhour"};
    const std::pair<const char*, const char*> rows[] = {
        {"cache_pth", "cache_path"},
        {"cahce_path", "cache_path"},
        {"CACHE_MAXSIZ", "cache_maxsize"},
        {"maxsize", "cache_maxsize"},
        {"dblink", "dblinks"},
        {"db", ""},
        {"retention", ""},
        {"cache_pathx", "cache_path"},
    };
    for (const auto& [key, want] : rows) {
        EXPECT_EQ(qvadm::cfgcheck::nearest(key, known), want) << key;
    }
}

// Two instances on one cache directory replay and delete each other's
// files; the same directory reached through a symbolic link is the same.
TEST(QvadmCheckTest, TwoConfigurationsSharingACacheDirectoryAreBothReported) {
    zotest::tmpdir d("qvadmshr");
    ASSERT_EQ(::mkdir((d.path + "cache").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((d.path + "cache").c_str(), (d.path + "link").c_str()), 0);
    writefile(d.path + "a.ini",
              replaceall(config("  \"cache_path\": \"@D@cache\""), "@D@", d.path));
    writefile(d.path + "b.ini",
              replaceall(config("  \"cache_path\": \"@D@link/\""), "@D@", d.path));
    writefile(d.path + "c.ini",
              replaceall(config("  \"cache_path\": \"@D@other\""), "@D@", d.path));
    result r = qvadm({"check", d.path + "a.ini", d.path + "b.ini", d.path + "c.ini"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find(d.path + "a.ini:3:3: error: the cache directory " + d.path +
                         "cache/ is also the cache of " + d.path + "b.ini"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(d.path + "b.ini:3:3: error: the cache directory " + d.path +
                         "link/ is also the cache of " + d.path + "a.ini"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("c.ini:3:3: error"), std::string::npos) << r.out;
}

TEST(QvadmCheckTest, ConnectOpensTheDatabaseAndSaysWhatItFound) {
    zotest::tmpdir d("qvadmcon");
    {
        oxa::sqlitedb db(d.path + "rt.db");
        ASSERT_EQ(db.open(), oxa::DB_OK);
    }
    writefile(d.path + "ok.ini", replaceall(config("  \"cache_path\": \"\""), "@D@", d.path));
    writefile(
        d.path + "new.ini",
        replaceall(replaceall(config("  \"cache_path\": \"\""), "rt.db", "new.db"), "@D@", d.path));
    // A directory where the database file should be: the library cannot
    // open it.
    ASSERT_EQ(::mkdir((d.path + "dir.db").c_str(), 0755), 0);
    writefile(
        d.path + "bad.ini",
        replaceall(replaceall(config("  \"cache_path\": \"\""), "rt.db", "dir.db"), "@D@", d.path));
    result r =
        qvadm({"check", "--connect", "--timeout", "20", d.path + "ok.ini", d.path + "new.ini"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(d.path + "ok.ini: connected to sqlite://localhost" + d.path + "rt.db in"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(d.path + "new.ini: the database " + d.path + "new.db does not exist yet"),
              std::string::npos)
        << r.out;
    EXPECT_NE(::access((d.path + "new.db").c_str(), F_OK), 0) << "the check made a database";
    r = qvadm({"check", "--connect", d.path + "bad.ini"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("error: link 1: " + d.path + "dir.db is not a file"), std::string::npos)
        << r.out;
}

TEST(QvadmCheckTest, ABareNameIsLookedUpWhereQuorvaneLooks) {
    zotest::tmpdir d("qvadmcfg");
    ASSERT_EQ(::mkdir((d.path + "config").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((d.path + "etc").c_str(), 0755), 0);
    writefile(d.path + "config/a.ini", "{}");
    writefile(d.path + "etc/b.ini", "{}");
    EXPECT_EQ(qvadm::configpath("a.ini", d.path, d.path + "etc"), d.path + "config/a.ini");
    EXPECT_EQ(qvadm::configpath("b.ini", d.path, d.path + "etc"), d.path + "etc/b.ini");
    EXPECT_EQ(qvadm::configpath("c.ini", d.path, d.path + "etc"), "c.ini");
    EXPECT_EQ(qvadm::configpath("./a.ini", d.path, d.path + "etc"), "./a.ini");
}

// ---- cache ------------------------------------------------------------------

class QvadmCacheTest : public ::testing::Test {
  protected:
    static constexpr int64_t stamp = 1700000400;

    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
        clock = std::make_unique<zo::fakeclockenv>((stamp + 5) * 1000);
        scoped = std::make_unique<zo::scopedenv>(clock.get());
        file = d.path + "ioch_" + std::to_string(stamp);
        localcache lc;
        lc.configure(d.path, 1000, 8);
        // Blocks of both kinds, raw and LZ4, small and large.
        for (int b = 0; b < 6; ++b) {
            if (b % 3 == 2) {
                soearray s;
                for (int i = 0; i <= b; ++i) {
                    soerec r;
                    r.f230 = 1700000000123 + i;
                    r.f231 = b;
                    r.f236.assign(std::string_view("soe.tag"));
                    s.items.push_back(std::move(r));
                }
                lc.putsoes(&s);
                soes += b + 1;
            } else {
                tagvalarray v(1);
                int n = b == 0 ? 1 : 40 * b;
                for (int i = 0; i < n; ++i) {
                    tagval t;
                    t.name.assign(std::string_view("t" + std::to_string(i)));
                    t.time = 1700000000000 + i;
                    t.vtype = 5;
                    t.vdouble = i / 7.0;
                    v.items.push_back(std::move(t));
                }
                lc.puttagvals(&v);
                vals += n;
            }
        }
        lc.closewriter();
        // Where each block starts, by the daemon's reader.
        cachefile rd(cachefile::modereader);
        ASSERT_EQ(rd.openpath(file, nullptr), 0);
        zo::string body;
        starts.push_back(0);
        while (rd.readblock(body, nullptr) >= 0) starts.push_back(rd.goodend());
        ASSERT_EQ(starts.size(), 7u);
        std::ifstream in(file, std::ios::binary);
        golden.assign(std::istreambuf_iterator<char>(in), {});
        ASSERT_EQ(golden.size(), starts.back());
    }
    void TearDown() override {
        scoped.reset();
        clock.reset();
    }

    zotest::tmpdir d{"qvadmcache"};
    std::unique_ptr<zo::fakeclockenv> clock;
    std::unique_ptr<zo::scopedenv> scoped;
    std::string file;
    std::string golden;
    std::vector<uint64_t> starts;  // block k spans starts[k] .. starts[k + 1]
    int vals = 0, soes = 0;
};

TEST_F(QvadmCacheTest, LsShowsPeriodsBlocksRecordsAndBytes) {
    result r = qvadm({"cache", "ls", d.path});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(std::regex_search(
        r.out,
        std::regex("\nioch_1700000400 +2023-11-14 22:20 - 22:30 now +6 +" + std::to_string(vals) +
                   " +" + std::to_string(soes) + " +" + std::to_string(golden.size()) + " +-\n")))
        << r.out;
    EXPECT_NE(r.out.find("1 files, " + std::to_string(golden.size()) + " bytes"), std::string::npos)
        << r.out;
    EXPECT_EQ(qvadm({"cache", "verify", d.path}).code, 0);
}

// At every block boundary: the block behind it spoilt, or the file cut a few
// bytes behind it.  verify names the place, ls counts it, and salvage keeps
// every other block in a file that the reader takes without a fault.
TEST_F(QvadmCacheTest, DamageAtEveryBlockBoundaryIsFoundAndSalvaged) {
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
        for (int cut = 0; cut < 2; ++cut) {
            const std::string what = (cut ? "cut in block " : "spoilt block ") + std::to_string(k);
            std::string bytes = golden;
            uint64_t at = starts[k];
            uint64_t len = starts[k + 1] - starts[k];
            if (cut) {
                bytes.resize(at + 5);
                len = 5;
            } else {
                bytes[at] ^= 0x55;  // the magic
            }
            writefile(file, bytes);
            result r = qvadm({"cache", "verify", file});
            EXPECT_EQ(r.code, 1) << what;
            EXPECT_NE(r.out.find(file + ": offset " + std::to_string(at) + ", " +
                                 std::to_string(len) + " bytes: "),
                      std::string::npos)
                << what << "\n"
                << r.out;
            EXPECT_NE(r.out.find("1 cache files, 1 damaged"), std::string::npos) << r.out;
            r = qvadm({"cache", "ls", d.path});
            EXPECT_NE(r.out.find("  1 (" + std::to_string(len) + " bytes)"), std::string::npos)
                << what << "\n"
                << r.out;

            const std::string out = d.path + "salvaged/";
            std::filesystem::remove_all(out);
            ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
            r = qvadm({"cache", "salvage", file, out});
            ASSERT_EQ(r.code, 0) << what << r.err;
            const size_t whole = cut ? k : starts.size() - 2;
            EXPECT_NE(r.out.find(std::to_string(whole) + " blocks ("), std::string::npos)
                << what << "\n"
                << r.out;
            std::ifstream in(out + "ioch_1700000400", std::ios::binary);
            std::string got(std::istreambuf_iterator<char>(in), {});
            std::string want = golden.substr(0, starts[k]);
            if (!cut) want += golden.substr(starts[k + 1]);
            EXPECT_EQ(got, want) << what;
            EXPECT_EQ(qvadm({"cache", "verify", out}).code, 0) << what;
            // A second salvage does not overwrite the first.
            EXPECT_EQ(qvadm({"cache", "salvage", file, out}).code, 1);
        }
    }
}

TEST_F(QvadmCacheTest, DumpWritesEveryValueTypeAsAJsonLine) {
    // A file of its own, in a later period, with one value of every type.
    clock->setms((stamp + 600) * 1000);
    localcache lc;
    lc.configure(d.path, 1000, 8);
    tagvalarray v(1);
    auto add = [&](const char* name, uint32_t type, int64_t i, double x, std::string_view b) {
        tagval t;
        t.name.assign(std::string_view(name));
        t.time = 1700000000250;
        t.quality = 192;
        t.vtype = type;
        t.vint = i;
        t.vdouble = x;
        t.vbytes.assign(b);
        v.items.push_back(std::move(t));
    };
    add("a\\b\"c", 1, -5, 0, "");
    add("i64", 4, INT64_MIN, 0, "");
    add("f", 3, 0, static_cast<double>(0.1f), "");
    add("d", 5, 0, 0.1 + 0.2, "");
    add("nan", 5, 0, std::nan(""), "");
    add("text", 6, 0, 0, "line\n\x01\xE4\xB8\xAD");
    add("bin", 7, 0, 0, std::string_view("\x00\xFF", 2));
    lc.puttagvals(&v);
    soearray s;
    soerec e;
    e.f230 = 1700000000999;
    e.f236.assign(std::string_view("sw.1"));
    e.f239 = 255;
    s.items.push_back(std::move(e));
    lc.putsoes(&s);
    lc.closewriter();
    const std::string f = d.path + "ioch_" + std::to_string(stamp + 600);
    const std::string head =
        "\"time\":1700000000250,\"local\":\"2023-11-14 22:13:20.250\","
        "\"quality\":192,";
    result r = qvadm({"cache", "dump", f});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "{\"kind\":\"value\",\"name\":\"a\\\\b\\\"c\"," + head + "\"type\":1,\"value\":-5}\n" +
            "{\"kind\":\"value\",\"name\":\"i64\"," + head +
            "\"type\":4,\"value\":-9223372036854775808}\n" + "{\"kind\":\"value\",\"name\":\"f\"," +
            head + "\"type\":3,\"value\":0.10000000149011612}\n" +
            "{\"kind\":\"value\",\"name\":\"d\"," + head +
            "\"type\":5,\"value\":0.30000000000000004}\n" +
            "{\"kind\":\"value\",\"name\":\"nan\"," + head + "\"type\":5,\"value\":\"NaN\"}\n" +
            "{\"kind\":\"value\",\"name\":\"text\"," + head +
            "\"type\":6,\"value\":\"line\\u000a\\u0001\xE4\xB8\xAD\"}\n" +
            "{\"kind\":\"value\",\"name\":\"bin\"," + head + "\"type\":7,\"value\":\"00ff\"}\n" +
            "{\"kind\":\"soe\",\"f230\":1700000000999,\"f231\":0,\"f232\":0,\"f233\":0,"
            "\"f234\":0,\"f235\":0,\"f236\":\"sw.1\",\"f237\":\"\",\"f238\":\"\","
            "\"f239\":255,\"f240\":0}\n");
    r = qvadm({"cache", "dump", "--kind", "value", "--name", "[bd]*", f});
    EXPECT_EQ(r.out.find("\"soe\""), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    r = qvadm({"cache", "dump", f, "--kind=soe"});
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
}

// The command line: usage mistakes are exit 2 with one line and a pointer
// to --help, in the words every tool uses.
TEST(QvadmCommandLineTest, MistakesAreExitTwoInTheSameWords) {
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{}, "qvadm: a command is missing: check or cache\n(try 'qvadm --help')\n"},
        {{"chek", "a"}, "qvadm: unknown command 'chek'\n"},
        {{"check", "--conect", "a"}, "qvadm: unknown option '--conect'\n"},
        {{"check"}, "qvadm: check needs at least one CONFIG\n"},
        {{"check", "--timeout"}, "qvadm: option '--timeout' needs a value\n"},
        {{"check", "--timeout", "0", "a"}, "qvadm: bad value '0' for --timeout: seconds"},
        {{"check", "--kind", "soe", "a"}, "qvadm: option '--kind' does not go with 'check'\n"},
        {{"cache", "dump", "--kind", "x", "f"},
         "qvadm: bad value 'x' for --kind: one of value, soe"},
        {{"cache", "salvage", "f"}, "qvadm: cache salvage needs FILE and OUT\n"},
        {{"cache", "rm", "f"}, "qvadm: unknown cache command 'rm'\n"},
        {{"-x"}, "qvadm: unknown option '-x'\n"},
    };
    for (const auto& [args, want] : rows) {
        result r = qvadm(args);
        EXPECT_EQ(r.code, 2) << want;
        EXPECT_EQ(r.err.rfind(want, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
    result r = qvadm({"--version"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.rfind("qvadm (Quorvane) ", 0), 0u) << r.out;
    EXPECT_EQ(qvadm({"check", "--help"}).code, 0);
}

}  // namespace
