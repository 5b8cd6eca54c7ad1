// The library thread against a backend that fails on demand: lost
// connections, refused rows, a queue that fills up.
#include "oxaapi/client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "oxaapi/testutil.h"

namespace oxa {
namespace {

using oxatest::recorder;
using oxatest::statusof;

// Shared between the test and every fake the factory makes.
struct script {
    std::atomic<bool> refuseopen{false};
    std::atomic<bool> losenextwrite{false};
    std::atomic<int> opens{0};
    std::atomic<int> rows{0};
    std::atomic<int> soes{0};
};

class fakedb : public backend {
  public:
    explicit fakedb(script* s) : s_(s) {}
    int open() override {
        if (s_->refuseopen) {
            err_ = "refused by the test";
            return DB_LOST;
        }
        ++s_->opens;
        return DB_OK;
    }
    void close() override {}
    const std::string& error() const override { return err_; }
    int begin() override { return DB_OK; }
    int commit() override { return DB_OK; }
    int rollback() override { return DB_OK; }
    int putsnapshot(const tagrow& row, bool) override { return write(row.name); }
    int puthistory(const tagrow& row) override {
        int rc = write(row.name);
        if (rc == DB_OK) ++s_->rows;
        return rc;
    }
    int putsoe(const oxa_soerec&) override {
        int rc = write("soe");
        if (rc == DB_OK) ++s_->soes;
        return rc;
    }
    int putctrltag(const std::string&, bool) override { return DB_OK; }
    int pendingctrl(std::vector<ctrlrow>*, size_t) override { return DB_OK; }
    int markctrl(int64_t, int) override { return DB_OK; }
    bool changed() override { return false; }
    int check() override { return DB_OK; }

  private:
    int write(const std::string& name) {
        if (s_->losenextwrite.exchange(false)) {
            err_ = "disk I/O error";
            return DB_LOST;
        }
        if (name == "refused") {
            err_ = "constraint";
            return DB_FAIL;
        }
        return DB_OK;
    }
    script* s_;
    std::string err_;
};

class clienttest : public ::testing::Test {
  protected:
    void SetUp() override {
        cl.setintervals(5, 5);
        cl.setnotify(recorder::onstatus, &rec);
    }
    void start() {
        ASSERT_EQ(cl.connect([this](std::string*) { return std::make_unique<fakedb>(&sc); }),
                  OXA_OK);
    }
    bool waitcodes(size_t n) {
        return rec.wait([&] { return rec.codes.size() >= n; });
    }
    int call(const std::string& text) {
        return cl.call(text.data(), text.size(), recorder::onresponse, &rec, true);
    }
    std::string roundtrip(const std::string& text) {
        return rec.roundtrip([&] { return call(text); });
    }

    script sc;
    recorder rec;
    client cl;  // last: its thread stops before the members above go
};

const char onevalue[] =
    "{\"request\":\"oxa_writesnaps\",\"seqno\":3,\"vals\":[{\"T\":1,\"N\":\"a\",\"DT\":1}]}";

TEST_F(clienttest, lostwriteanswersnotwrittenandreconnectswhilesoeputdoesnotwait) {
    start();
    EXPECT_EQ(statusof(roundtrip(onevalue)), 0);
    sc.losenextwrite = true;
    std::string r = roundtrip(onevalue);
    // The caller sends it again: the status says nothing was written.
    EXPECT_EQ(statusof(r), OXA_STATUS_DISCONNECTED);
    EXPECT_NE(r.find("disk I\\/O error"), std::string::npos) << r;
    ASSERT_TRUE(waitcodes(3));
    EXPECT_EQ(rec.codes, (std::vector<int>{OXA_CONNECTED, OXA_DISCONNECTED, OXA_CONNECTED}));
    EXPECT_EQ(sc.opens.load(), 2);
    EXPECT_EQ(sc.rows.load(), 1);
    oxa_soerec recs[3];
    std::memset(recs, 0, sizeof recs);
    EXPECT_EQ(cl.soeput(recs, 3), OXA_OK);
    EXPECT_EQ(sc.soes.load(), 3);
    sc.refuseopen = true;
    sc.losenextwrite = true;
    EXPECT_EQ(cl.soeput(recs, 3), OXA_ERR_NOTCONNECTED);
    ASSERT_TRUE(waitcodes(5));  // lost, then a failed attempt
    EXPECT_EQ(rec.codes[3], OXA_DISCONNECTED);
    EXPECT_EQ(rec.codes[4], OXA_CONNECTFAIL);
    EXPECT_EQ(cl.soeput(recs, 3), OXA_ERR_NOTCONNECTED);
    EXPECT_EQ(cl.soeput(recs, 0), OXA_OK);
}

TEST_F(clienttest, fullqueuerefusesanddisconnectanswersall) {
    sc.refuseopen = true;
    cl.setlimits(50, 1000);
    start();
    size_t accepted = 0;
    int rc = OXA_OK;
    while (rc == OXA_OK && accepted <= 50) {
        rc = call("{\"request\":\"oxa_insert\",\"seqno\":7}");
        if (rc == OXA_OK) ++accepted;
    }
    EXPECT_EQ(rc, OXA_ERR_QUEUEFULL);
    EXPECT_EQ(accepted, 27u);  // 27 x 36 bytes fit in 1000, 28 do not
    std::string big(1001, ' ');
    EXPECT_EQ(call(big), OXA_ERR_ARG);
    EXPECT_EQ(cl.disconnect(), OXA_OK);
    EXPECT_EQ(rec.responses.size(), accepted);
    // Each is answered with its own seqno, also when the handle is destroyed.
    EXPECT_EQ(statusof(rec.responses.back()), OXA_STATUS_DISCONNECTED);
    EXPECT_NE(rec.responses.back().find("\"seqno\":7,"), std::string::npos);
    EXPECT_EQ(call("{}"), OXA_ERR_NOTCONNECTED);
}

}  // namespace
}  // namespace oxa
