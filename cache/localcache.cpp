#include "cache/localcache.h"

#include "protoc3/pbwire.h"

namespace zo {

namespace {

// A block is written once this much room is left below its limit, so that
// the next ordinary record still fits.
constexpr uint32_t flushmargin = 2048;
constexpr uint8_t entrykey = 0x0A;  // field 1, length-delimited

}  // namespace

localcache::localcache(zo::ilog* lg) : log(lg) {
    writer.setlog(lg);
}

void localcache::configure(std::string_view dir, int maxsizemb, int maxhours) {
    if (dir.empty()) return;
    directory.assign(dir);
    if (directory.back() != '/') directory.append('/');
    reader.setdirectory(directory.view());
    writer.setdirectory(directory.view());
    maxsize = maxsizemb;
    maxhour = maxhours;
}

void localcache::puttagvals(const tagvalarray* body) {
    putbatch(body, cachefile::kindtagval);
}

void localcache::putsoes(const soearray* body) {
    putbatch(body, cachefile::kindsoe);
}

void localcache::flush(uint8_t kind) {
    if (encode.empty()) return;
    // A block that cannot be written is lost: its records are counted for
    // the caller's log (the file object logs the first failure of a run).
    if (writer.writeblock(kind, encode.data(), encode.size()) != 0) {
        (kind == cachefile::kindsoe ? lostsoes : lostvals) += pending;
        (kind == cachefile::kindsoe ? lostall.soes : lostall.vals) += pending;
    }
    encode.clear();
    pending = 0;
}

void localcache::takelost(uint64_t* vals, uint64_t* soes) {
    *vals = lostvals;
    *soes = lostsoes;
    lostvals = lostsoes = 0;
}

template <class T>
void localcache::putbatch(const body_objarray<T>* body, uint8_t kind) {
    if (directory.empty()) return;
    if (!body || body->items.empty()) {
        writer.writeblock(kind, nullptr, 0);
        return;
    }
    encode.clear();
    pending = 0;
    for (const T& rec : body->items) {
        uint32_t n = rec.size();
        if (n == 0) continue;
        uint32_t entry = 1 + zo::varint_size32(n) + n;
        if (entry > cachefile::maxraw) {
            ++dropped;
            ++(kind == cachefile::kindsoe ? lostall.soes : lostall.vals);
            ZO_LOG(log, zo::LOG_WRN, "cache record of %u bytes too large for a block, dropped.", n);
            continue;
        }
        // Cut the block before this record rather than let one large record
        // push the whole block past the length a block can carry.
        if (encode.size() + entry > cachefile::maxraw) flush(kind);
        uint32_t mark = encode.size();
        encode.append(static_cast<char>(entrykey));
        zo::put_varint32(encode, n);
        // serialize is not const, but it changes only the record's errcode.
        if (!const_cast<T&>(rec).serialize(encode) || encode.size() != mark + entry) {
            encode.truncate(mark);
            ++dropped;
            ++(kind == cachefile::kindsoe ? lostall.soes : lostall.vals);
            ZO_LOG(log, zo::LOG_WRN, "cache record does not encode (%s), dropped.", rec.errmsg());
            continue;
        }
        ++pending;
        if (encode.size() + flushmargin >= cachefile::maxraw) flush(kind);
    }
    flush(kind);
}

}  // namespace zo
