#include "dblink/ctrlstore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "dblink/fakes_test.h"

namespace {

oxa_valrec valrec(const char* name, int8_t type, int32_t v) {
    oxa_valrec r;
    std::memset(&r, 0, sizeof r);
    std::strncpy(r.name, name, sizeof r.name);
    r.type = type;
    r.time = 10;
    r.v.i32 = v;
    return r;
}

oxa_objrec objrec(const char* name, uint16_t length) {
    oxa_objrec r;
    std::memset(&r, 0, sizeof r);
    std::strncpy(r.name, name, sizeof r.name);
    r.type = 6;
    r.length = length;
    std::memset(r.data, 'd', length < 1000 ? length : 1000);
    return r;
}

class CtrlStoreTest : public ::testing::Test {
  protected:
    zotest::reclog log_;
    ctrlstore store_{&log_};
};

TEST_F(CtrlStoreTest, CallbacksCopyAndLog) {
    oxa_valrec v = valrec("v1", 1, 42);
    EXPECT_TRUE(ctrlstore::on_value_ctrl(&v, &store_));
    oxa_objrec o = objrec("o1", 3);
    EXPECT_TRUE(ctrlstore::on_object_ctrl(&o, &store_));
    EXPECT_EQ(log_.countexact("read value ctrl tag v1", zo::LOG_INF), 1);
    EXPECT_EQ(log_.countexact("read object ctrl tag o1, size 3", zo::LOG_INF), 1);
    // The store keeps copies: the library may reuse its record.
    v.v.i32 = 0;
    std::strcpy(o.name, "zz");
    tagvalbody body;
    EXPECT_EQ(store_.drainctrl(&body), 2u);
    ASSERT_EQ(body.items.size(), 2u);
    EXPECT_EQ(body.items[0].name.view(), "v1");
    EXPECT_EQ(body.items[0].vint, 42);
    EXPECT_EQ(body.items[0].time, 1000);
    EXPECT_EQ(body.items[1].name.view(), "o1");
    EXPECT_EQ(body.items[1].vbytes.view(), "ddd");

    // A name without a terminator is cut at 79 bytes.
    std::memset(v.name, 'n', sizeof v.name);
    ctrlstore::on_value_ctrl(&v, &store_);
    tagvalbody cut;
    store_.drainctrl(&cut);
    ASSERT_EQ(cut.items.size(), 1u);
    EXPECT_EQ(cut.items[0].name.size(), 79u);
}

// A full store refuses (the library keeps the write in the database), says
// so once per run, and takes writes again once drained.
TEST_F(CtrlStoreTest, FullStoreRefusesUntilDrained) {
    oxa_valrec v = valrec("v", 1, 1);
    oxa_objrec o = objrec("o", 5);
    struct {
        const char* what;
        size_t bound;
        std::function<bool()> offer;
    } cases[] = {
        {"value", ctrlstore::maxvals, [&] { return ctrlstore::on_value_ctrl(&v, &store_); }},
        {"object", ctrlstore::maxobjs, [&] { return ctrlstore::on_object_ctrl(&o, &store_); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int full = log_.count("ctrl store full, ctrl tag ");
        int again = log_.count("ctrl store takes control writes again, 2 offers refused");
        for (size_t i = 0; i < c.bound; ++i) ASSERT_TRUE(c.offer());
        EXPECT_FALSE(c.offer());
        EXPECT_FALSE(c.offer());
        EXPECT_EQ(store_.pending(), c.bound);
        EXPECT_EQ(log_.count("ctrl store full, ctrl tag "), full + 1);
        tagvalbody body;
        EXPECT_EQ(store_.drainctrl(&body), c.bound);
        EXPECT_TRUE(c.offer());
        EXPECT_EQ(log_.count("ctrl store takes control writes again, 2 offers refused"), again + 1);
        store_.drainctrl(&body);
    }
}

TEST_F(CtrlStoreTest, DrainPutsValuesFirstAndSkipsUnusable) {
    oxa_objrec o1 = objrec("o1", 5);
    oxa_objrec empty = objrec("o0", 0);
    oxa_objrec huge = objrec("o2", 1000);
    oxa_valrec v1 = valrec("v1", 2, -3);
    oxa_valrec bad = valrec("vx", 9, 1);
    ctrlstore::on_object_ctrl(&o1, &store_);
    ctrlstore::on_object_ctrl(&empty, &store_);
    ctrlstore::on_object_ctrl(&huge, &store_);
    ctrlstore::on_value_ctrl(&v1, &store_);
    ctrlstore::on_value_ctrl(&bad, &store_);
    EXPECT_EQ(store_.pending(), 5u);
    tagvalbody body;
    EXPECT_EQ(store_.drainctrl(&body), 2u);
    ASSERT_EQ(body.items.size(), 2u);
    EXPECT_EQ(body.items[0].name.view(), "v1");
    EXPECT_EQ(body.items[0].vint, -3);
    EXPECT_EQ(body.items[1].name.view(), "o1");
    EXPECT_EQ(store_.pending(), 0u);
    tagvalbody again;
    EXPECT_EQ(store_.drainctrl(&again), 0u);
    EXPECT_TRUE(again.items.empty());
}

// Names come back from code page 936 exactly, in the log line as in the
// value; a name that is not code page 936 drops its record, with a log line,
// instead of becoming another tag's name.
TEST_F(CtrlStoreTest, NamesComeBackExactlyOrNotAtAll) {
    oxa_valrec v = valrec("\xB2\xE2\xCA\xD4", 5, 0);
    v.v.f64 = 1.5;
    ctrlstore::on_value_ctrl(&v, &store_);
    oxa_objrec o = objrec("o\xFF", 2);
    ctrlstore::on_object_ctrl(&o, &store_);
    EXPECT_EQ(log_.countexact("read value ctrl tag \xE6\xB5\x8B\xE8\xAF\x95", zo::LOG_INF), 1);
    EXPECT_EQ(log_.countexact("read object ctrl tag o?, size 2", zo::LOG_INF), 1);
    tagvalbody body;
    EXPECT_EQ(store_.drainctrl(&body), 1u);
    ASSERT_EQ(body.items.size(), 1u);
    EXPECT_EQ(body.items[0].name.view(), "\xE6\xB5\x8B\xE8\xAF\x95");
    EXPECT_EQ(body.items[0].vdouble, 1.5);
    EXPECT_EQ(log_.countexact("ctrl tag o? dropped: name not code page 936", zo::LOG_WRN), 1);
}

TEST_F(CtrlStoreTest, NullArgumentsAreHarmless) {
    EXPECT_TRUE(ctrlstore::on_value_ctrl(nullptr, &store_));
    oxa_valrec v = valrec("v", 1, 1);
    EXPECT_TRUE(ctrlstore::on_value_ctrl(&v, nullptr));
    EXPECT_TRUE(ctrlstore::on_object_ctrl(nullptr, &store_));
    EXPECT_EQ(store_.drainctrl(nullptr), 0u);
    EXPECT_EQ(store_.pending(), 0u);
}

TEST_F(CtrlStoreTest, CallbacksFromAnotherThreadWhileDraining) {
    constexpr int n = 2000;
    std::atomic<bool> done{false};
    std::thread lib([this, &done] {
        for (int i = 0; i < n; ++i) {
            oxa_valrec v = valrec("v", 1, i);
            ctrlstore::on_value_ctrl(&v, &store_);
        }
        done = true;
    });
    size_t got = 0;
    int64_t last = -1;
    bool ordered = true;
    while (!done.load() || store_.pending() != 0) {
        tagvalbody body;
        store_.drainctrl(&body);
        for (const tagval& t : body.items) {
            ordered = ordered && t.vint == last + 1;
            last = t.vint;
        }
        got += body.items.size();
        if (body.items.empty()) std::this_thread::yield();
    }
    lib.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(got, static_cast<size_t>(n));
}

}  // namespace
