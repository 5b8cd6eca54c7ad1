// Fuzz target: gaprx's datagram reader, on the input as a datagram, as the
// message of a correctly framed datagram (past the checksums), and as
// records behind a valid head and auth (so that messages are accepted).  An
// accepted message keeps the reader's promises: at most a chunk of records,
// of one kind, texts zero-terminated and lengths within their fields.
#include <lz4.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "dblink/gapwire.h"
#include "fuzz/fuzzmain.h"
#include "tools/gaprx/gapreader.h"

namespace {

using namespace gapwire;

std::string frame(const std::string& raw) {
    std::string d(headsize + LZ4_COMPRESSBOUND(raw.size()), '\0');
    int n = LZ4_compress_default(raw.data(), d.data() + headsize, static_cast<int>(raw.size()),
                                 static_cast<int>(d.size() - headsize));
    if (n <= 0) return std::string();
    d.resize(headsize + static_cast<size_t>(n));
    auto* p = reinterpret_cast<uint8_t*>(d.data());
    std::memcpy(p, magic, sizeof magic);
    storebe32(p + at_dgramseq, 1);
    storebe32(p + at_bodylen, static_cast<uint32_t>(n));
    storebe32(p + at_rawlen, static_cast<uint32_t>(raw.size()));
    storebe32(p + at_bodycrc, crc32of(p + headsize, static_cast<size_t>(n)));
    storebe32(p + at_headcrc, crc32of(p, at_headcrc));
    return d;
}

// head (funid from the first input byte) and auth for "op" / "pw".
std::string prefix(uint8_t which) {
    static const uint8_t funids[3] = {funid_vals, funid_objs, funid_soes};
    std::string m = "\x32\x06\x08\xB2\xA3\x03\x10";
    m += static_cast<char>(funids[which % 3]);
    uint8_t user[authblock], hash[authblock];
    userblock("op", user);
    hashblock("pw", hash);
    uint32_t key = keyof(1);
    xorblock(user, key, user);
    xorblock(hash, key, hash);
    m += "\x2A\x6A\x08\xB1\xF3\xDD\xF1\x09\x12\x30";  // keyof(1) as a varint
    m.append(reinterpret_cast<char*>(user), authblock);
    m += "\x1A\x30";
    m.append(reinterpret_cast<char*>(hash), authblock);
    return m;
}

// A text that fills its field has no terminating zero.
template <size_t n>
bool full(const char (&field)[n]) {
    return strnlen(field, n) == n;
}

void check(const gapmsg& m) {
    if (m.nvals > valchunk || m.nobjs > objchunk || m.nsoes > soechunk) std::abort();
    if ((m.nvals != 0) + (m.nobjs != 0) + (m.nsoes != 0) > 1) std::abort();
    for (uint32_t i = 0; i < m.nvals; ++i)
        if (full(m.vals[i].name) || m.vals[i].type < 1 || m.vals[i].type > 5) std::abort();
    for (uint32_t i = 0; i < m.nobjs; ++i)
        if (m.objs[i].length > maxobjdata || full(m.objs[i].name)) std::abort();
    for (uint32_t i = 0; i < m.nsoes; ++i)
        if (m.soes[i].f234 > maxsoebytes || full(m.soes[i].f236) || full(m.soes[i].f237))
            std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 17)) return 0;
    static gapreader reader("op", "pw");
    static std::unique_ptr<gapmsg> msg(new gapmsg);
    std::string input(reinterpret_cast<const char*>(data), size);
    const std::string reads[] = {input, frame(input),
                                 frame(prefix(size ? data[0] : 0) + input.substr(size ? 1 : 0))};
    for (const std::string& d : reads)
        if (reader.read(reinterpret_cast<const uint8_t*>(d.data()), d.size(), msg.get()) ==
            GAP_ACCEPT)
            check(*msg);
    return 0;
}
