#include "dblink/oxalink_gapudp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>

#include "base/lz4block.h"
#include "base/url.h"
#include "dblink/dbrecords.h"
#include "protoc3/pbwire.h"

namespace zo {

namespace {

using namespace gapwire;

// Field keys (field number x 8 + wire type).
constexpr uint32_t key_varint(uint32_t f) {
    return f * 8;
}
constexpr uint32_t key_fixed64(uint32_t f) {
    return f * 8 + 1;
}
constexpr uint32_t key_bytes(uint32_t f) {
    return f * 8 + 2;
}
constexpr uint32_t key_fixed32(uint32_t f) {
    return f * 8 + 5;
}

// A signed byte of a record, sign-extended to 32 bits and written as the
// unsigned pattern (5 bytes for a negative value).
uint32_t sx8(int8_t v) {
    return static_cast<uint32_t>(static_cast<int32_t>(v));
}

template <class B>
void text(B& b, uint32_t field, const char* p, size_t width) {
    size_t n = strnlen(p, width);
    if (n) {
        zo::put_varint32(b, key_bytes(field));
        zo::put_lenbytes(b, p, static_cast<uint32_t>(n));
    }
}
template <class B>
void u32(B& b, uint32_t field, uint32_t v) {
    if (v) {
        zo::put_varint32(b, key_varint(field));
        zo::put_varint32(b, v);
    }
}
template <class B>
void u64(B& b, uint32_t field, uint64_t v) {
    if (v) {
        zo::put_varint32(b, key_varint(field));
        zo::put_varint64(b, v);
    }
}

void encode(const oxa_valrec& r, zo::fixbuf1k& b) {
    text(b, 1, r.name, sizeof r.name);
    u64(b, 2, zigzag64(r.time));
    u32(b, 8, sx8(r.quality));
    u32(b, 9, sx8(r.flag));
    u32(b, 3, sx8(r.type));
    switch (r.type) {
        case 1:
        case 2:
            u32(b, 4, zigzag32(r.v.i32));
            break;
        case 3: {
            uint32_t bits;
            std::memcpy(&bits, &r.v.f32, 4);
            zo::put_varint32(b, key_fixed32(5));
            zo::put_fixed32(b, bits);
            break;
        }
        case 4:
            u64(b, 6, zigzag64(r.v.i64));
            break;
        case 5: {
            uint64_t bits;
            std::memcpy(&bits, &r.v.f64, 8);
            zo::put_varint32(b, key_fixed64(7));
            zo::put_fixed64(b, bits);
            break;
        }
        default:
            break;
    }
}

void encode(const oxa_objrec& r, zo::fixbuf2k& b) {
    text(b, 1, r.name, sizeof r.name);
    u64(b, 2, zigzag64(r.time));
    u32(b, 3, sx8(r.type));
    u32(b, 4, r.extra);
    u32(b, 8, sx8(r.quality));
    u32(b, 9, sx8(r.flag));
    if (r.length >= 1 && r.length <= maxobjdata) {
        zo::put_varint32(b, key_bytes(5));
        zo::put_lenbytes(b, r.data, r.length);
    }
}

void encode(const oxa_soerec& r, zo::fixbuf1k& b) {
    u32(b, 1, r.f231);
    u64(b, 2, zigzag64(static_cast<int64_t>(r.f230)));
    u32(b, 3, zigzag32(static_cast<int32_t>(r.f232)));
    u32(b, 4, zigzag32(static_cast<int16_t>(r.f233)));
    u32(b, 5, zigzag32(static_cast<int32_t>(r.f235)));
    text(b, 6, r.f236, sizeof r.f236);
    text(b, 7, r.f237, sizeof r.f237);
    if (r.f234 >= 1 && r.f234 <= maxsoebytes) {
        zo::put_varint32(b, key_bytes(8));
        zo::put_lenbytes(b, r.f238, r.f234);
    }
    u32(b, 9, zigzag32(static_cast<int8_t>(r.f239)));
    u32(b, 10, zigzag32(static_cast<int8_t>(r.f240)));
}

// The embedded buffer each record kind is assembled in.
template <class R>
struct bufof {
    using type = zo::fixbuf1k;
};
template <>
struct bufof<oxa_objrec> {
    using type = zo::fixbuf2k;
};
static_assert(sizeof(bufof<oxa_valrec>::type::data) == valbuf);
static_assert(sizeof(bufof<oxa_objrec>::type::data) == objbuf);
static_assert(sizeof(bufof<oxa_soerec>::type::data) == soebuf);

template <class R>
constexpr uint32_t fieldof();
template <>
constexpr uint32_t fieldof<oxa_valrec>() {
    return f_vals;
}
template <>
constexpr uint32_t fieldof<oxa_objrec>() {
    return f_objs;
}
template <>
constexpr uint32_t fieldof<oxa_soerec>() {
    return f_soes;
}

// Appends an embedded message as a length-delimited field; an empty one is
// left out.
template <uint32_t N>
void embed(zo::string& out, uint32_t field, const zo::fixbuf<N>& b) {
    if (b.used == 0) return;
    zo::put_varint32(out, key_bytes(field));
    zo::put_lenbytes(out, b.data, b.used);
}

bool isgapudp(const zo::string& scheme) {
    return scheme.size() == 6 && strncasecmp(scheme.data(), "gapudp", 6) == 0;
}

bool empty(const char* s) {
    return !s || !*s;
}

}  // namespace

oxalink_gapudp::oxalink_gapudp(zo::ilog* lg) : log(lg) {
    std::memset(authuser, 0, sizeof authuser);
    std::memset(authhash, 0, sizeof authhash);
}

oxalink_gapudp::~oxalink_gapudp() {
    close();
}

int oxalink_gapudp::open(const char* text, const char* user, const char* pswd) {
    if (empty(text) || empty(user) || empty(pswd)) return -1;
    zo::url u;
    if (!u.parse(text)) {
        ZO_LOG(log, zo::LOG_ERR, "oxa link url %s parse error", text);
        return -1;
    }
    if (!isgapudp(u.scheme)) {
        ZO_LOG(log, zo::LOG_ERR, "oxa link url(%s) protocol error", text);
        return -1;
    }
    if (u.port == 0) {
        ZO_LOG(log, zo::LOG_ERR, "oxa link url(%s) uport error", text);
        return -1;
    }
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (!u.ipv4.empty()) {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(u.port);
        if (inet_pton(AF_INET, u.ipv4.c_str(), &a->sin_addr) == 1) len = sizeof *a;
    } else if (!u.ipv6.empty()) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(u.port);
        if (inet_pton(AF_INET6, u.ipv6.c_str(), &a->sin6_addr) == 1) len = sizeof *a;
    }
    if (len == 0) {
        ZO_LOG(log, zo::LOG_ERR, "oxa link url(%s) socketaddr error", text);
        return -1;
    }
    int s = ::socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        ZO_LOG(log, zo::LOG_ERR, "create oxalink_gapudp socket failed. url=%s", text);
        return -1;
    }
    close();  // a second open replaces the first socket
    url = text;
    sock = s;
    dest = ss;
    destlen = len;
    gapwire::userblock(user, authuser);
    gapwire::hashblock(pswd, authhash);
    ZO_LOG(log, zo::LOG_INF, "start oxalink %s success.", text);
    return 0;
}

bool oxalink_gapudp::send(const zo::string& msg) {
    if (sock < 0) return false;
    if (++dgramseq == 0) dgramseq = 1;
    uint32_t n = msg.size();
    if (n > zo::lz4block::maxinput || !dgram.resize(headsize + zo::lz4block::bound(n))) {
        ++failed;
        return false;
    }
    auto* d = reinterpret_cast<uint8_t*>(dgram.data());
    int c = zo::lz4block::compress(msg.data(), n, dgram.data() + headsize, zo::lz4block::bound(n));
    if (c <= 0) {
        ++failed;
        return false;
    }
    auto body = static_cast<uint32_t>(c);
    std::memcpy(d, magic, sizeof magic);
    storebe32(d + at_dgramseq, dgramseq);
    storebe32(d + at_bodylen, body);
    storebe32(d + at_rawlen, n);
    storebe32(d + at_bodycrc, crc32of(d + headsize, body));
    storebe32(d + at_headcrc, crc32of(d, at_headcrc));
    ssize_t r =
        ::sendto(sock, d, headsize + body, 0, reinterpret_cast<const sockaddr*>(&dest), destlen);
    if (r > 0) {
        ++sent;
        return true;
    }
    ++failed;
    return false;
}

template <class R>
void oxalink_gapudp::sendchunk(uint32_t funid, const R* recs, uint32_t n) {
    message.clear();
    zo::fixbuf1k head;
    u32(head, 1, headmark);
    u32(head, 2, funid);
    embed(message, f_head, head);

    uint32_t key = keyof(++authcount);
    uint8_t block[authblock];
    zo::fixbuf1k auth;
    u32(auth, 1, key);
    xorblock(authuser, key, block);
    zo::put_varint32(auth, key_bytes(2));
    zo::put_lenbytes(auth, block, authblock);
    xorblock(authhash, key, block);
    zo::put_varint32(auth, key_bytes(3));
    zo::put_lenbytes(auth, block, authblock);
    embed(message, f_auth, auth);

    for (uint32_t i = 0; i < n; ++i) {
        typename bufof<R>::type b;
        b.used = 0;
        encode(recs[i], b);
        embed(message, fieldof<R>(), b);
    }
    if (!send(message)) (funid == funid_soes ? unsentsoes : unsentvals) += n;
}

void oxalink_gapudp::write_batch(tagvalbody*& slot, const nextfn& next) {
    valrecs.clear();
    objrecs.clear();
    while (slot) {
        for (const tagval& t : slot->items) {
            switch (reckind(t.vtype)) {
                case DBREC_VALUE:
                    if (oxa_valrec* r = valrecs.emplace()) {
                        tovalrec(t, *r);
                    } else {
                        ++dropped;  // no memory for the batch
                        ++unsentvals;
                    }
                    break;
                case DBREC_OBJECT:
                    if (oxa_objrec* r = objrecs.emplace()) {
                        toobjrec(t, *r);
                    } else {
                        ++dropped;
                        ++unsentvals;
                    }
                    break;
                default:
                    ++dropped;
                    ++badtypes;
                    break;
            }
        }
        delete slot;
        slot = nullptr;
        if (objrecs.empty() && valrecs.size() < mergelimit && next) slot = next();
    }
    for (size_t i = 0; i < valrecs.size(); i += valchunk) {
        size_t n = valrecs.size() - i < valchunk ? valrecs.size() - i : valchunk;
        if (sock < 0) {
            unsentvals += n;
            continue;
        }
        sendchunk(funid_vals, valrecs.data() + i, static_cast<uint32_t>(n));
    }
    for (size_t i = 0; i < objrecs.size(); i += objchunk) {
        size_t n = objrecs.size() - i < objchunk ? objrecs.size() - i : objchunk;
        if (sock < 0) {
            unsentvals += n;
            continue;
        }
        sendchunk(funid_objs, objrecs.data() + i, static_cast<uint32_t>(n));
    }
}

void oxalink_gapudp::write_soe(const soebody& body) {
    soerecs.clear();
    for (const soerec& s : body.items) {
        if (oxa_soerec* r = soerecs.emplace()) {
            tosoerec(s, *r);
        } else {
            ++dropped;
            ++unsentsoes;
        }
    }
    for (size_t i = 0; i < soerecs.size(); i += soechunk) {
        size_t n = soerecs.size() - i < soechunk ? soerecs.size() - i : soechunk;
        if (sock < 0) {
            unsentsoes += n;
            continue;
        }
        sendchunk(funid_soes, soerecs.data() + i, static_cast<uint32_t>(n));
    }
}

void oxalink_gapudp::flushcounts() {
    if (unsentvals)
        ZO_LOG(log, zo::LOG_WRN, "dropped %llu tag values (gapudp send failed).",
               static_cast<unsigned long long>(unsentvals));
    if (unsentsoes)
        ZO_LOG(log, zo::LOG_WRN, "dropped %llu soe records (gapudp send failed).",
               static_cast<unsigned long long>(unsentsoes));
    if (badtypes)
        ZO_LOG(log, zo::LOG_WRN, "dropped %llu tag values (type outside 1..7).",
               static_cast<unsigned long long>(badtypes));
    unsentvals = unsentsoes = badtypes = 0;
}

void oxalink_gapudp::close() {
    if (sock < 0) return;
    flushcounts();
    ZO_LOG(log, zo::LOG_DBG, "close gapudp %s ", url.c_str());
    ZO_LOG(log, zo::LOG_DBG,
           "gapudp %s: %llu datagrams sent, %llu lost (compression or socket), "
           "%llu records dropped (a tag value type outside 1..7, or no memory)",
           url.c_str(), static_cast<unsigned long long>(sent),
           static_cast<unsigned long long>(failed), static_cast<unsigned long long>(dropped));
    ::close(sock);
    sock = -1;
}

}  // namespace zo
