// The values iosim makes.  The program itself, with its options, sends to
// Quorvane in tests/metrics_e2e_test.cpp; its --version and option mistakes
// are run by tests/toolcli_e2e_test.cpp.

#include <cmath>
#include <string>

#include "gtest/gtest.h"
#include "tools/iosim/simproto.h"
#include "tools/iosim/valuegen.h"

namespace iosim {
namespace {

// Names follow the tag number; the types go round the tags; the values are
// of the kinds a receiver gets wrong: negative integers of both widths,
// floats that must narrow exactly, bytes with a zero in them.
TEST(iosimtest, TheValuesAreOfEveryKindAReceiverMustKeep) {
    valuegen g(7, typelist{1, 2, 3, 4, 5, 6, 7});
    bool negative32 = false, negative64 = false, zerobyte = false, bad = false;
    for (uint64_t n = 0; n < 7 * 60; ++n) {
        simval v;
        g.value(n, 1700000000123LL, &v);
        std::string name = "iosim.t000" + std::to_string(n % 7 + 1);
        ASSERT_EQ(name, v.name.view());
        ASSERT_EQ(n % 7 + 1, v.vtype);
        EXPECT_EQ(1700000000123LL, v.time);
        bad |= v.quality != valuegen::goodquality;
        if (v.vtype <= 2) {
            EXPECT_LE(std::abs(v.vint), 1000);  // what 32 bits hold, with room
            negative32 |= v.vint < 0;
        }
        negative64 |= v.vtype == 4 && v.vint < 0;
        // A float narrows exactly; a text names its tag.
        EXPECT_TRUE(v.vtype != 3 || v.vdouble == static_cast<float>(v.vdouble)) << n;
        EXPECT_TRUE(v.vtype != 6 || std::string(v.vbytes.view()).find(name) != std::string::npos);
        zerobyte |= v.vtype == 7 && v.vbytes.size() >= 2 && v.vbytes[0] == 0;
    }
    EXPECT_TRUE(negative32 && negative64 && zerobyte && bad);
    simval v;
    valuegen(1, typelist{}).value(0, 0, &v);  // no types given: doubles
    EXPECT_EQ(5u, v.vtype);
}

}  // namespace
}  // namespace iosim
