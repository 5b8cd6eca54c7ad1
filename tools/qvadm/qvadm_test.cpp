// qvadm in this process: the strict configuration check, and the cache
// commands on a file of real blocks damaged at every block boundary.  Its
// --version and unknown options are run by tests/toolcli_e2e_test.cpp.
#include "tools/qvadm/qvadm.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/env.h"
#include "cache/cachefile.h"
#include "cache/localcache.h"
#include "tests/support/testsupport.h"
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

std::string replaceall(std::string s, const std::string& from, const std::string& to) {
    for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size()) {
        s.replace(p, from.size(), to);
    }
    return s;
}

// One link to url (with pswd as JSON text) and the members after it; @D@ is
// the test's directory.
std::string links(const std::string& members, const std::string& url = "sqlite://localhost@D@rt.db",
                  const std::string& pswd = "\"p\"") {
    return "{\n  \"dblinks\": [{\"node\": \"n\", \"url\": \"" + url +
           "\", \"user\": \"u\", \"pswd\": " + pswd + "}],\n" + members + "\n}\n";
}
const std::string nocache = "  \"cache_path\": \"\"";

// Every kind of fault an operator makes, with where the checker points (the
// place is line:column) and what it says Quorvane will do instead.
TEST(QvadmCheckTest, EveryKindOfFaultIsFoundWithItsPlaceAndItsConsequence) {
    struct row {
        int code;
        std::string text;
        std::string expect;  // pieces of the output in this order, split at '|'
    };
    const std::string cache = "  \"cache_path\": \"@D@cache\"";
    const std::string links5 =
        "{\"dblinks\": [{\"node\": \"n\", \"url\": \"sqlite://localhost@D@rt.db\", \"user\": "
        "\"u\", \"pswd\": 1234, \"Cache_Path\": \"/x\"}, [1], {\"node\": \"m\", \"url\": "
        "\"mysql://localhost/x\", \"user\": \"u\", \"pswd\": \"p\"}, {\"node\": \"g\", \"url\": "
        "\"gapudp://127.0.0.1\", \"user\": \"u\", \"pswd\": \"p\"}, {\"node\": \"x\", \"url\": "
        "\"sqlite://localhost@D@x.db\", \"user\": \"u\"}], \"url\": 1, \"cache_path\": \"\"}";
    const std::vector<row> rows = {
        {0, "/* ok */\n" + links(cache + ",\n  \"cache_maxsize\": 2000"),
         ":4:17: note: the cache directory @D@cache/ does not exist yet; Quorvane makes it|"
         "@F@: ok; Quorvane uses client mode, database sqlite://localhost@D@rt.db, cache "
         "@D@cache/ (at most 2000 MB, 8 hours)."},
        {1, links("  \"cache_pth\": \"@D@cache\""),
         ":3:3: error: unknown key \"cache_pth\" (did you mean \"cache_path\"?); Quorvane ignores|"
         "@F@: error: no \"cache_path\": values that come while the database is away are lost|"
         "@F@: 2 errors; Quorvane uses client mode, database sqlite://localhost@D@rt.db, no "
         "local"},
        {1, links5,
         "error: link 1: \"pswd\" must be a text in quotes|"
         "error: unknown key \"Cache_Path\": it belongs at the top level, not inside a link|"
         "error: link 2 is not an object {...}; Quorvane skips it|"
         "error: link 3: \"mysql://localhost/x\" is not a database URL: unsupported database|"
         "error: link 4: \"gapudp://127.0.0.1\" has no port (gapudp://HOST:PORT)|"
         "error: link 5 has no \"pswd\": Quorvane skips this link|"
         "error: unknown key \"url\": it belongs inside a link of \"dblinks\""},
        {1, links(cache + "\n  \"cache_maxhour\": 4"),
         ":4:3: error: syntax: a comma is missing before this member|@F@: 1 error;"},
        {1, links("  // old: \"cache_path\": \"/x\"\n" + cache),
         ":3:3: error: syntax: \"//\" does not start a comment here; only /* ... */ does|"
         "Quorvane does not start with this file (it logs \"load config @F@ failed.\")"},
        {1, links("  \"cache_path\": \"@D@a\\\"b/*c*/\""),
         "error: \"/*\" inside a string opens a comment"},
        {1,
         links(cache + ",\n  \"x\": [{\"y\": " + std::string(70, '[') + std::string(70, ']') +
               "}]"),
         "error: values nested deeper than 64 levels"},
        {1, links(cache + ",\n  /* \"cache_maxhour\": 4"),
         ":4:3: error: this comment is never closed: Quorvane ignores the rest of the file"},
        {1, links(cache + ",\n  \"cache_maxhour\": \"8h\",\n  \"cache_maxsize\": 8h"),
         ":4:20: error: \"cache_maxhour\" must be a whole number, not \"8h\"; Quorvane uses 8|"
         ":5:20: error: syntax: not a number, true, false or null|"
         ":5:20: error: \"cache_maxsize\" must be a whole number, not 8h; Quorvane uses 100"},
        {1, links(cache + ",\n  \"cache_maxsize\": 50,\n  \"cache_maxhour\": 1000"),
         "error: \"cache_maxsize\" 50 is below the least, 100; Quorvane uses 100 MB|"
         "error: \"cache_maxhour\" 1000 is above the most, 168; Quorvane uses 168 hours|"
         "(at most 100 MB, 168 hours)"},
        {1, links(cache + ",\n  \"CACHE_PATH\": \"/elsewhere\""),
         ":4:3: error: \"CACHE_PATH\" is given again (letter case does not matter); Quorvane "
         "reads only the first, at @F@:3:3|(at most 1000 MB, 8 hours)"},
        {1, "{\"dblinks\": {\"node\": \"n\"}, \"cache_path\": \"\"}",
         ":1:13: error: \"dblinks\" must be an array of link objects|"
         "Quorvane does not start (\"@F@ uplink config error.\")"},
        {1, links(nocache, "sqlite://localhost@D@no/rt.db"),
         "error: link 1: the database's directory @D@no/ does not exist"},
        {1, links(nocache, "sqlite://localhost@D@rt.db", "\"\""),
         "error: link 1 has an empty \"pswd\": Quorvane skips this link|"
         "uplink config error."},
        {1, links("  \"cache_path\": \"cache\""),
         ":3:17: error: cache_path \"cache/\" is relative"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        zotest::tmpdir d("qvadmchk");
        const std::string f = d.path + "q.ini";
        d.write("q.ini", replaceall(r.text, "@D@", d.path));
        result res = qvadm({"check", f});
        EXPECT_EQ(res.code, r.code) << res.out << res.err;
        size_t from = 0;
        std::stringstream pieces(r.expect);
        for (std::string e; std::getline(pieces, e, '|');) {
            e = replaceall(replaceall(e, "@D@", d.path), "@F@", f);
            if (e[0] == ':') e = f + e;
            size_t at = res.out.find(e, from);
            EXPECT_NE(at, std::string::npos) << "no \"" << e << "\" in\n" << res.out;
            if (at != std::string::npos) from = at;
        }
    }
    // Misspellings are those a few letters away, not any short key.
    const std::vector<const char*> known = {"dblinks", "cache_path", "cache_maxsize"};
    const std::pair<const char*, const char*> near[] = {
        {"cahce_path", "cache_path"},
        {"CACHE_MAXSIZ", "cache_maxsize"},
        {"db", ""},
    };
    for (const auto& [key, want] : near) {
        EXPECT_EQ(qvadm::cfgcheck::nearest(key, known), want) << key;
    }
}

// Two instances on one cache directory (here once through a symbolic link)
// replay and delete each other's files: both are told.
TEST(QvadmCheckTest, TwoConfigurationsSharingACacheDirectoryAreBothReported) {
    zotest::tmpdir d("qvadmshr");
    ASSERT_EQ(::mkdir((d.path + "cache").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((d.path + "cache").c_str(), (d.path + "link").c_str()), 0);
    auto ini = [&](const char* name, const char* cache) {
        return d.write(
            name, replaceall(links("  \"cache_path\": \"@D@" + std::string(cache) + "\""), "@D@",
                             d.path));
    };
    std::string a = ini("a.ini", "cache"), b = ini("b.ini", "link/");
    result r = qvadm({"check", a, b});
    EXPECT_EQ(r.code, 1);
    const std::string also = ":3:3: error: the cache directory " + d.path;
    EXPECT_NE(r.out.find(a + also + "cache/ is also the cache of " + b), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(b + also + "link/ is also the cache of " + a), std::string::npos) << r.out;
}

// ---- cache ------------------------------------------------------------------

// ls counts the whole file; then at every block boundary: the block behind
// it spoilt, or the file cut a few bytes behind it.  verify names the place,
// ls counts it, and salvage keeps every other block in a file that the
// reader takes without a fault.
TEST(QvadmCacheTest, LsCountsAndDamageAtEveryBlockBoundaryIsFoundAndSalvaged) {
    const int64_t stamp = 1700000400;
    setenv("TZ", "UTC0", 1);
    tzset();
    zo::fakeclockenv clock((stamp + 5) * 1000);
    zo::scopedenv scoped(&clock);
    zotest::tmpdir d("qvadmcache");
    const std::string file = d.path + "ioch_" + std::to_string(stamp);
    std::string golden;
    std::vector<uint64_t> starts;  // block k spans starts[k] .. starts[k + 1]
    int vals = 0, soes = 0;
    localcache lc;
    lc.configure(d.path, 1000, 8);
    // Blocks of both kinds, raw and LZ4, small and large.
    for (int b = 0; b < 6; ++b) {
        if (b % 3 == 2) {
            soearray s;
            for (int i = 0; i <= b; ++i) {
                soerec r;
                r.f230 = 1700000000123 + i;
                r.f236.assign(std::string_view("soe.tag"));
                s.items.push_back(std::move(r));
            }
            lc.putsoes(&s);
            soes += b + 1;
            continue;
        }
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
    result r = qvadm({"cache", "ls", d.path});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(std::regex_search(
        r.out,
        std::regex("\nioch_1700000400 +2023-11-14 22:20 - 22:30 now +6 +" + std::to_string(vals) +
                   " +" + std::to_string(soes) + " +" + std::to_string(golden.size()) + " +-\n")))
        << r.out;
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
        for (int cut = 0; cut < 2; ++cut) {
            SCOPED_TRACE((cut ? "cut in block " : "spoilt block ") + std::to_string(k));
            std::string bytes = golden;
            uint64_t at = starts[k];
            uint64_t len = starts[k + 1] - starts[k];
            if (cut) {
                bytes.resize(at + 5);
                len = 5;
            } else {
                bytes[at] ^= 0x55;  // the magic
            }
            d.write("ioch_" + std::to_string(stamp), bytes);
            r = qvadm({"cache", "verify", file});
            EXPECT_EQ(r.code, 1);
            EXPECT_NE(r.out.find(file + ": offset " + std::to_string(at) + ", " +
                                 std::to_string(len) + " bytes: "),
                      std::string::npos)
                << r.out;
            EXPECT_NE(r.out.find("1 cache files, 1 damaged"), std::string::npos) << r.out;
            r = qvadm({"cache", "ls", d.path});
            EXPECT_NE(r.out.find("  1 (" + std::to_string(len) + " bytes)"), std::string::npos)
                << r.out;

            const std::string out = d.path + "salvaged/";
            std::filesystem::remove_all(out);
            ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
            r = qvadm({"cache", "salvage", file, out});
            ASSERT_EQ(r.code, 0) << r.err;
            const size_t whole = cut ? k : starts.size() - 2;
            EXPECT_NE(r.out.find(std::to_string(whole) + " blocks ("), std::string::npos) << r.out;
            std::ifstream in(out + "ioch_1700000400", std::ios::binary);
            std::string got(std::istreambuf_iterator<char>(in), {});
            std::string want = golden.substr(0, starts[k]);
            if (!cut) want += golden.substr(starts[k + 1]);
            EXPECT_EQ(got, want);
            EXPECT_EQ(qvadm({"cache", "verify", out}).code, 0);
        }
    }
}

}  // namespace
