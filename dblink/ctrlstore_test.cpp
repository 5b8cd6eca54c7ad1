#include "dblink/ctrlstore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dblink/fakes_test.h"

namespace {

oxa_valrec valrec(const char* name, int8_t type, int32_t v) {
    oxa_valrec r{};
    std::strncpy(r.name, name, sizeof r.name);
    r.type = type;
    r.time = 10;
    r.v.i32 = v;
    return r;
}

oxa_objrec objrec(const char* name, uint16_t length) {
    oxa_objrec r{};
    std::strncpy(r.name, name, sizeof r.name);
    r.type = 6;
    r.length = length;
    std::memset(r.data, 'd', length < 1000 ? length : 1000);
    return r;
}

// The store keeps copies (the library may reuse its records) and drains
// values first; names come back from code page 936 exactly, cut at 79 bytes
// without a terminator; a record that cannot become a tag value is dropped
// with a line instead of becoming another tag's name.
TEST(CtrlStoreTest, DrainGivesCopiesValuesFirstAndDropsTheUnusable) {
    zotest::reclog log;
    ctrlstore store(&log);
    oxa_objrec objs[] = {objrec("o1", 3), objrec("o0", 0), objrec("o2", 1000), objrec("o\xFF", 2)};
    oxa_valrec vals[] = {valrec("\xB2\xE2\xCA\xD4", 2, -3), valrec("vx", 9, 1), valrec("", 1, 7)};
    std::memset(vals[2].name, 'n', sizeof vals[2].name);
    vals[2].time = INT64_MAX;  // hostile: no overflow (the sanitizer would trap)
    for (oxa_objrec& o : objs) EXPECT_TRUE(ctrlstore::on_object_ctrl(&o, &store));
    for (oxa_valrec& v : vals) EXPECT_TRUE(ctrlstore::on_value_ctrl(&v, &store));
    vals[0].v.i32 = 0;
    std::strcpy(objs[0].name, "zz");
    EXPECT_EQ(store.pending(), 7u);
    tagvalbody body;
    EXPECT_EQ(store.drainctrl(&body), 3u);
    ASSERT_EQ(body.items.size(), 3u);
    EXPECT_EQ(body.items[0].name.view(), "\xE6\xB5\x8B\xE8\xAF\x95");
    EXPECT_EQ(body.items[0].vint, -3);
    EXPECT_EQ(body.items[0].time, 1000);
    EXPECT_EQ(body.items[1].name.view(), std::string(79, 'n'));
    EXPECT_EQ(body.items[1].vint, 7);
    EXPECT_EQ(body.items[2].name.view(), "o1");
    EXPECT_EQ(body.items[2].vbytes.view(), "ddd");
    EXPECT_EQ(log.countexact("ctrl tag o? dropped: name not code page 936", zo::LOG_WRN), 1);
    EXPECT_EQ(log.count(" dropped: "), 4);
    EXPECT_EQ(store.pending(), 0u);
}

// A full store refuses (the library keeps the write in the database), says
// so once per run, and takes writes again once drained (a full store of
// object records: faults_e2e).
TEST(CtrlStoreTest, FullStoreRefusesUntilDrained) {
    zotest::reclog log;
    ctrlstore store(&log);
    oxa_valrec v = valrec("v", 1, 1);
    for (size_t i = 0; i < ctrlstore::maxvals; ++i)
        ASSERT_TRUE(ctrlstore::on_value_ctrl(&v, &store));
    EXPECT_FALSE(ctrlstore::on_value_ctrl(&v, &store));
    EXPECT_FALSE(ctrlstore::on_value_ctrl(&v, &store));
    EXPECT_EQ(store.pending(), ctrlstore::maxvals);
    EXPECT_EQ(log.count("ctrl store full, ctrl tag "), 1);
    tagvalbody body;
    EXPECT_EQ(store.drainctrl(&body), ctrlstore::maxvals);
    EXPECT_TRUE(ctrlstore::on_value_ctrl(&v, &store));
    EXPECT_EQ(log.count("ctrl store takes control writes again, 2 offers refused"), 1);
}

}  // namespace
