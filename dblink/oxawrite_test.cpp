#include "dblink/oxawrite.h"

#include <gtest/gtest.h>

#include <string>

#include "base/tzfix_test.h"

using namespace zo;

namespace {

// One value object per row: members in order, zero members left out, "V"
// of a double as the shortest text that reads back as the same double, of a
// float as the text of the float widened to a double.
TEST(ValueObjectTest, EachTypeWritesItsMembers) {
    zo::tzfix tz("UTC");  // the local-time form depends on the zone
    const struct {
        const char* name;
        uint32_t vtype, quality;
        int64_t time, vint;
        double vdouble;
        std::string bytes;
        bool inttimes;
        const char* json;
    } rows[] = {
        {"t1", 4, 192, 1706659200250, -1234567890123, 0, "", true,
         R"({"T":1706659200250,"N":"t1","Q":192,"DT":4,"V":-1234567890123})"},
        // Below the integer version the time is local-time text.
        {"t1", 1, 0, 1706659200250, 3, 0, "", false,
         R"({"T":"2024/01/31 00:00:00.250","N":"t1","DT":1,"V":3})"},
        {"t1", 1, 0, -5, 0, 0, "", true, R"({"N":"t1","DT":1})"},
        {"t1", 4, 0, 0, 0, 0, "", true, R"({"N":"t1","DT":4})"},
        // A float or double 0.0 still carries its value.
        {"t1", 3, 0, 0, 0, 0, "", true, R"({"N":"t1","DT":3,"V":0.0})"},
        {"t1", 5, 0, 0, 0, 0, "", true, R"({"N":"t1","DT":5,"V":0.0})"},
        // Types 1 and 2 keep the low 32 bits.
        {"t1", 2, 0, 0, -1, 0, "", true, R"({"N":"t1","DT":2,"V":-1})"},
        {"t1", 2, 0, 0, 0x1'0000'0000, 0, "", true, R"({"N":"t1","DT":2})"},
        // Every digit, floats widened, the infinities, NaN and texts through
        // the database: session_e2e.
        {"t1", 3, 0, 0, 0, -1e300, "", true, R"({"N":"t1","DT":3,"V":-inf})"},
        {"t1", 7, 0, 0, 0, 0, std::string("\x00\xFF", 2), true, R"({"N":"t1","DT":7,"V":"AP8="})"},
        // An unknown type has no value; names are escaped.
        {"a\\b\nc", 9, 0xFFFFFFFF, 0, 5, 0, "", true, R"({"N":"a\\b\nc","Q":-1,"DT":9})"},
    };
    for (const auto& r : rows) {
        tagval t;
        t.name = r.name;
        t.vtype = r.vtype;
        t.quality = r.quality;
        t.time = r.time;
        t.vint = r.vint;
        t.vdouble = r.vdouble;
        t.vbytes.append(r.bytes.data(), static_cast<uint32_t>(r.bytes.size()));
        zo::string out;
        addvalueobject(out, t, r.inttimes);
        EXPECT_EQ(out.view(), r.json);
    }
}

}  // namespace
