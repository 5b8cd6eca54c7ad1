// Fuzz target: every body and record decoder on arbitrary bytes.  A decode
// must end in true or false; whatever it kept must re-encode to exactly
// size() bytes (or fail with a UTF-8 reason, which a decoded text cannot).
#include <cstdlib>

#include "fuzz/fuzzmain.h"
#include "protoc3/bodies.h"
#include "protoc3/pkgpb3.h"

namespace {

template <class M>
void roundtrip(const uint8_t* data, size_t size) {
    M m;
    if (!m.parse(data, static_cast<uint32_t>(size))) return;
    zo::string out;
    if (!m.serialize(out) || out.size() != m.size()) std::abort();
    M again;
    if (!again.parse(out.data(), out.size())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    roundtrip<tagvalarray>(data, size);
    roundtrip<soearray>(data, size);
    roundtrip<runinfoarray>(data, size);
    roundtrip<loginbody>(data, size);
    roundtrip<unkownbody>(data, size);
    roundtrip<pb3head>(data, size);
    return 0;
}
