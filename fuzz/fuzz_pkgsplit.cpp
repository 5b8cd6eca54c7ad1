// Fuzz target: the receive path on an arbitrary byte stream, split into
// chunks whose sizes come from the input itself: splitter, head check and
// body opening (raw and LZ4).
#include <cstdlib>

#include "fuzz/fuzzmain.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    size_t chunk = 1 + data[0] % 64;
    pkgsplit sp;
    zo::string pkg;
    for (size_t off = 1; off < size; off += chunk) {
        size_t n = size - off < chunk ? size - off : chunk;
        int r = pkgpb3::splitpkg(sp, data + off, static_cast<uint32_t>(n), pkg);
        while (r == 1) {
            if (pkg.size() < 8 || pkg.size() < 8u + pkg.bytes()[3]) std::abort();
            pb3head h;
            if (pkgpb3::parsehead(pkg, h)) {
                tagvalarray tv;  // the decoders themselves are fuzz_bodies' work
                pkgpb3::parsebody(pkg, h, tv);
            }
            r = pkgpb3::splitpkg(sp, nullptr, 0, pkg);
        }
        if (r < 0) break;
    }
    return 0;
}
