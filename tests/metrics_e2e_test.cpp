// The metrics file end to end: iosim sends a fixed number of values to the
// Quorvane program (its clock twenty times as fast), which writes them to
// SQLite or, with the database away, to its cache.  The last file must pass
// promtool (Prometheus's own checker), and its counters must add up and
// agree with the database.
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/harness.h"

namespace {

using namespace e2e;

// Samples of a metrics file: "name{labels without inst}" -> value.
std::map<std::string, double> readmetrics(const std::string& path) {
    static const std::regex drop("^quorvane_|\\{inst=\"[^\"]*\"\\}|inst=\"[^\"]*\",?");
    std::map<std::string, double> m;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        size_t sp = line.rfind(' ');
        m[std::regex_replace(line.substr(0, sp), drop, "")] = std::stod(line.substr(sp + 1));
    }
    return m;
}

// promtool's verdict on the file: "" when it passes, else what it said.
std::string promtool(const std::string& path) {
    std::string cmd = "promtool check metrics < '" + path + "' 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return "promtool did not start";
    std::string out;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int rc = ::pclose(p);
    return rc == 0 ? "" : "promtool exit " + std::to_string(rc) + ": " + out;
}

// Received = where they went, for tag values ("values") or SOE records.
void expectaddup(std::map<std::string, double>& m, const std::string& k) {
    double went =
        m[k + "_written_total"] + m[k + "_cached_total"] +
        m[k + "_duplicate_total{road=\"live\"}"] + m[k + "_dropped_total{reason=\"ring_full\"}"] +
        m[k + "_dropped_total{reason=\"no_cache\"}"] + m[k + "_dropped_total{reason=\"refused\"}"];
    EXPECT_EQ(m[k + "_received_total"], went) << k;
}

TEST(MetricsE2eTest, TheLastFileParsesAndItsCountersAddUp) {
    const int values = 6000;
    for (bool dbaway : {false, true}) {  // away: the database's directory does not exist
        SCOPED_TRACE(dbaway ? "database away" : "database there");
        progdir pd;
        std::string err;
        ASSERT_TRUE(pd.make("metrics_e2e_", &err)) << err;
        const std::string dir = pd.dir().string();
        const std::string db = dir + (dbaway ? "/none/rt.db" : "/rt.db");
        fs::create_directory(pd.dir() / "prom");
        ASSERT_TRUE(pd.writeconfig("m.ini", "sqlite://localhost" + db, dir + "/cache",
                                   "\"metrics_path\": \"" + dir + "/prom\""));
        child sim;
        ASSERT_TRUE(sim.start(zotest::bindir() + "/iosim",
                              {"--listen", "ipc://127.0.0.1:0", "--count", std::to_string(values),
                               "--rate", "20000", "--tags", "50", "--soe-rate", "40", "-q"}));
        std::string url;
        ASSERT_TRUE(until([&] {
            sim.readout();
            size_t at = sim.output.find("listening on ");
            size_t end = sim.output.find(' ', at + 13);
            if (at == std::string::npos || end == std::string::npos) return false;
            url = sim.output.substr(at + 13, end - at - 13);
            return true;
        })) << sim.output;

        udpsink logsrv;
        const std::string inst = uniquename("mt");
        const std::string file = dir + "/prom/quorvane_" + inst + ".prom";
        child prog;
        runopts o;
        o.clockspeed = 20;
        ASSERT_TRUE(prog.start(pd.program(), {url, logsrv.url(), inst, "m.ini", "inf"}, o));
        // Files come every 10 s of the test clock while the values arrive.
        std::map<std::string, double> m;
        EXPECT_TRUE(until([&] {
            m = readmetrics(file);
            return m["values_received_total"] == values && m["soe_received_total"] > 0;
        })) << logsrv.dump();
        ASSERT_TRUE(prog.stop());

        EXPECT_EQ(promtool(file), "");
        m = readmetrics(file);
        EXPECT_EQ(m["packages_refused_total"], 0);
        EXPECT_GT(m["packages_received_total"], 0);
        expectaddup(m, "values");
        expectaddup(m, "soe");
        EXPECT_EQ(m["ring_packages{ring=\"values\"}"], 0);
        EXPECT_EQ(m["values_replayed_total"], 0);
        if (dbaway) {
            EXPECT_EQ(m["values_written_total"], 0);
            EXPECT_EQ(m["values_cached_total"], values);
            EXPECT_GE(m["cache_files"], 1);
            EXPECT_GT(m["cache_bytes"], 0);
            EXPECT_EQ(m["database_connected"], 0);
        } else {
            EXPECT_GT(m["values_written_total"], 0);
            EXPECT_EQ(m["values_dropped_total{reason=\"refused\"}"], 0);
            EXPECT_EQ(sqlone(db, "select count(*) from history"),
                      std::to_string(static_cast<int64_t>(m["values_written_total"])));
            EXPECT_EQ(sqlone(db, "select count(*) from soe"),
                      std::to_string(static_cast<int64_t>(m["soe_written_total"])));
        }
        sim.kill();
    }
}

}  // namespace
