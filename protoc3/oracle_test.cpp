// Google's protobuf as an independent oracle: what Google's code encodes we
// must decode, and what we then encode its code must read back to the same
// message.  Where our wire form deliberately differs from what Google's code
// would write (32-bit values as 5-byte varints, the 0.0 double always
// present, our own field order) the difference is asserted.
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "oracle_test.pb.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;

class oracletest : public ::testing::Test {
  protected:
    std::mt19937_64 rng{20261205};

    uint64_t pick64() {
        switch (rng() % 5) {
            case 0:
                return 0;
            case 1:
                return rng() % 200;
            case 2:
                return static_cast<uint64_t>(-static_cast<int64_t>(rng() % 1000));
            case 3:
                return 1700000000000ull + rng() % 100000000ull;
            default:
                return rng();
        }
    }
    // Valid UTF-8 of 0 to 40 bytes mixing ASCII, 2-, 3- and 4-byte forms.
    std::string utf8text() {
        static const char* parts[] = {
            "a", "Z", ".", "_", "9", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "Tag", "Unit"};
        std::string s;
        for (size_t n = rng() % 12; n > 0; --n) s += parts[rng() % 10];
        return s;
    }
    std::string anybytes() {
        std::string s(rng() % 12, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    }
    double anydouble() {
        double d = rng() % 3 ? -0.0 : 0.0;
        if (rng() % 3 == 1) d = static_cast<double>(static_cast<int64_t>(rng())) / 7.0;
        uint64_t bits = rng() & ~(0x7FFull << 52);  // finite, any sign
        if (rng() % 3 == 2) std::memcpy(&d, &bits, 8);
        return d;
    }
    // Random values in every field, as our classes carry them: a tag value
    // holds only the value field of its vtype (a double even at 0.0), run
    // information field 170 is never 0 (absent on the wire, 1 after decode),
    // and repeated texts are not empty (ours leaves empty ones out).
    void fill(Message& g) {
        const auto* r = g.GetReflection();
        for (int i = 0; i < g.GetDescriptor()->field_count(); ++i) {
            const FieldDescriptor* f = g.GetDescriptor()->field(i);
            if (f->is_repeated()) {
                for (int n = static_cast<int>(rng() % 8); n > 0; --n) {
                    if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
                        fill(*r->AddMessage(&g, f));
                    } else {
                        r->AddString(&g, f, "x" + utf8text());
                    }
                }
            } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_UINT32) {
                r->SetUInt32(&g, f, static_cast<uint32_t>(pick64()));
            } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_UINT64) {
                r->SetUInt64(&g, f, pick64());
            } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_INT64) {
                r->SetInt64(&g, f, static_cast<int64_t>(pick64()));
            } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_STRING) {
                r->SetString(&g, f,
                             f->type() == FieldDescriptor::TYPE_BYTES ? anybytes() : utf8text());
            }
        }
        if (auto* t = dynamic_cast<oracle::TagVal*>(&g)) {
            t->set_vtype(1 + static_cast<uint32_t>(rng() % 8));  // 8: no value field
            const uint32_t v = t->vtype();
            if (v != 1 && v != 2 && v != 4) t->clear_vint();
            if (v == 3 || v == 5) t->set_vdouble(anydouble());
            if (v != 6 && v != 7) t->clear_vbytes();
        }
        if (auto* i = dynamic_cast<oracle::RunInfo*>(&g)) i->set_f170(i->f170() | 1);
    }
    // Google's bytes decode in ours, which encodes size() bytes that Google's
    // code reads back to the same message of the same size.
    template <class M, class G>
    void roundtrip() {
        G g;
        fill(g);
        const std::string b = g.SerializeAsString();
        M m;
        ASSERT_TRUE(m.parse(b.data(), static_cast<uint32_t>(b.size()))) << m.errmsg();
        zo::string out;
        ASSERT_TRUE(m.serialize(out)) << m.errmsg();
        ASSERT_EQ(m.size(), out.size());
        G back;
        ASSERT_TRUE(back.ParseFromArray(out.data(), static_cast<int>(out.size())));
        EXPECT_TRUE(MessageDifferencer::Equals(back, g)) << "sent:\n"
                                                         << g.DebugString() << "came back:\n"
                                                         << back.DebugString();
        EXPECT_EQ(back.ByteSizeLong(), out.size());
        if constexpr (requires { m.items; }) {
            for (const auto& e : m.items) EXPECT_GE(e.maxsize(), e.size());  // serialize's room
        }
    }
};

TEST_F(oracletest, everyRecordAndBodyTravelsBothWays) {
    for (int round = 0; round < 300; ++round) {
        roundtrip<tagvalarray, oracle::TagValArray>();
        roundtrip<soearray, oracle::SoeArray>();
        roundtrip<runinfoarray, oracle::RunInfoArray>();
        roundtrip<loginbody, oracle::Login>();
        roundtrip<unkownbody, oracle::Unkown>();
        roundtrip<pb3head, oracle::Head>();
    }
}

// ---- where we differ on purpose ---------------------------------------------------

// A negative 32-bit value goes out in 5 bytes (Google's int32 takes 10 and
// reads our 5 back as the same value); Google's 10-byte form arrives as its
// low 32 bits.
TEST_F(oracletest, negative32bitvalues) {
    oracle::Int32Probe g;
    g.set_v(-1);
    const std::string asquality = "\x18" + g.SerializeAsString().substr(1);
    tagval t;
    ASSERT_TRUE(t.parse(asquality.data(), static_cast<uint32_t>(asquality.size())));
    EXPECT_EQ(t.quality, 0xFFFFFFFFu);
    zo::string out;
    ASSERT_TRUE(t.serialize(out));
    EXPECT_EQ(out.size(), 6u);
    ASSERT_TRUE(g.ParseFromArray(("\x08" + std::string(out.data() + 1, 5)).data(), 6));
    EXPECT_EQ(g.v(), -1);
}

}  // namespace
