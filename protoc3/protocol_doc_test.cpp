// docs/wire.md shows one whole package in hex and docs/protocol.proto
// describes it for other protobuf implementations.  Both are promises to
// people writing a peer of their own: the hex must be what our encoder
// makes, Google's code generated from the public .proto must read it to the
// same values, and our decoder must read it too.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"
#include "protoc3/testutil_test.h"
#include "protocol.pb.h"

namespace {

// The bytes of the first ```hex block after the heading "## One package in
// hex": pairs of hex digits, each line up to a '#' comment.
std::string dochex() {
    std::ifstream in(std::string(ZO_SRCDIR) + "/docs/wire.md");
    std::string line, out;
    bool heading = false, block = false;
    while (std::getline(in, line)) {
        if (!heading) {
            heading = line == "## One package in hex";
        } else if (!block) {
            block = line == "```hex";
        } else if (line == "```") {
            break;
        } else {
            line = line.substr(0, line.find('#'));
            std::istringstream words(line);
            std::string w;
            while (words >> w) {
                if (w.size() != 2 || !std::isxdigit(static_cast<unsigned char>(w[0])) ||
                    !std::isxdigit(static_cast<unsigned char>(w[1])))
                    return "not hex: " + w;
                out.push_back(static_cast<char>(std::stoi(w, nullptr, 16)));
            }
        }
    }
    return out;
}

// The package of docs/wire.md: three tag values of one scan.
constexpr int64_t scan = 1785300000000;  // 2026-07-29 04:40:00 UTC, in ms

std::string ourpackage() {
    tagvalarray body;
    auto add = [&](const char* name, uint32_t quality, uint32_t vtype) -> pbo_tagval<zo::string>& {
        pbo_tagval<zo::string> t;
        t.time = scan;
        t.name = zo::string(name);
        t.quality = quality;
        t.vtype = vtype;
        body.items.push_back(std::move(t));
        return body.items[body.items.size() - 1];
    };
    add("plant.temp", 192, 5).vdouble = 21.5;
    add("plant.count", 192, 4).vint = -2;
    add("plant.state", 0, 6).vbytes = zo::string("open");
    pb3head h;
    h.ver = 300;
    h.funid = 3202;
    h.seqno = 7;
    zo::string out;
    if (!pkgpb3::makepkg(h, body, out)) return "";
    return std::string(out.data(), out.size());
}

TEST(protocoldoc, theHexInTheDocsIsWhatOurEncoderMakes) {
    const std::string doc = dochex(), ours = ourpackage();
    ASSERT_FALSE(ours.empty());
    EXPECT_EQ(doc, ours) << "docs/wire.md should show:\n"
                         << pbtest::hexof(ours.data(), ours.size());
}

TEST(protocoldoc, thePublicProtoReadsTheDocumentedPackage) {
    const std::string pkg = dochex();
    ASSERT_GT(pkg.size(), 8u);
    const auto* p = reinterpret_cast<const uint8_t*>(pkg.data());
    const uint32_t hdrlen = p[3];
    uint32_t total;
    std::memcpy(&total, p + 4, 4);
    ASSERT_EQ(total, pkg.size());

    quorvane::protocol3::Head head;
    ASSERT_TRUE(head.ParseFromArray(p + 8, static_cast<int>(hdrlen)));
    EXPECT_EQ(head.ShortDebugString(), "ver: 300 funid: 3202 seqno: 7 srcsize: 103");
    quorvane::protocol3::TagValueArray body;
    ASSERT_TRUE(body.ParseFromArray(p + 8 + hdrlen, static_cast<int>(total - 8 - hdrlen)));
    EXPECT_EQ(
        body.ShortDebugString(),
        "items { time: 1785300000000 name: \"plant.temp\" quality: 192 vdouble: 21.5 vtype: 5 } "
        "items { time: 1785300000000 name: \"plant.count\" quality: 192 vint: -2 vtype: 4 } "
        "items { time: 1785300000000 name: \"plant.state\" vbytes: \"open\" vtype: 6 }");

    // And our own decoder reads the same bytes back.
    pb3head h;
    ASSERT_TRUE(pkgpb3::parsehead(p, total, h));
    tagvalarray ours;
    ASSERT_TRUE(pkgpb3::parsebody(p, total, h, ours));
    ASSERT_EQ(ours.items.size(), 3u);
    EXPECT_EQ(ours.items[1].vint, -2);
}

}  // namespace
