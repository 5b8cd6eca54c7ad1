#include "cache/cachefile.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/lz4block.h"

namespace zo {

namespace {

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t get16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

// Whether a decoded body is a run of array entries (0x0A, a varint length,
// that many bytes) that ends exactly at its end, as every body we write is.
bool framed(const uint8_t* p, uint32_t n) {
    uint32_t i = 0;
    while (i < n) {
        if (p[i++] != 0x0A) return false;
        uint64_t len = 0;
        int shift = 0;
        for (;;) {
            if (i >= n || shift > 28) return false;
            uint8_t b = p[i++];
            len |= static_cast<uint64_t>(b & 0x7F) << shift;
            shift += 7;
            if (!(b & 0x80)) break;
        }
        if (len > n - i) return false;
        i += static_cast<uint32_t>(len);
    }
    return n > 0;
}

}  // namespace

cachefile::cachefile(int mode) : mode_(mode) {
    block_ = static_cast<uint8_t*>(zo::zo_alloc(bufsize));
    // Only a reader decodes; a writer never needs the second buffer.
    if (mode_ == modereader) decode_ = static_cast<uint8_t*>(zo::zo_alloc(bufsize));
}

cachefile::~cachefile() {
    if (wfile_) closewriter(true);
    rfile_.reset();
    zo::zo_free(block_);
    zo::zo_free(decode_);
}

void cachefile::setdirectory(std::string_view dir) {
    dir_.assign(dir);
}

int64_t cachefile::periodstamp(int64_t t) {
    int64_t r = t % period;
    if (r < 0) r += period;
    return t - r;
}

bool cachefile::filename(int64_t stamp, zo::string& out) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "ioch_%jd", static_cast<intmax_t>(stamp));
    if (n < 0 || n >= static_cast<int>(sizeof buf)) return false;
    out.assign(buf, static_cast<uint32_t>(n));
    return true;
}

int64_t cachefile::stampofname(std::string_view name) {
    if (name.size() <= 5) return 0;
    std::string rest(name.substr(5));  // strtoll wants a terminated text
    return std::strtoll(rest.c_str(), nullptr, 10);
}

bool cachefile::setpath(int64_t stamp) {
    zo::string name;
    if (!filename(stamp, name)) return false;
    path_.assign(dir_.view());
    path_.append(name.view());
    return true;
}

void cachefile::closewriter(bool sync) {
    if (!wfile_) return;
    // The period is complete: what the system holds must reach the disk
    // before the file can be replayed and deleted.
    if (sync && !wfile_->sync()) {
        ZO_LOG(log_, zo::LOG_ERR, "sync cache file %s failed, errno %d.", path_.c_str(), errno);
    }
    wfile_->close();
    wfile_.reset();
}

void cachefile::closefile() {
    closewriter(true);
}

int cachefile::writeblock(uint8_t kind, const void* data, uint32_t length) {
    if (length > maxraw || mode_ != modewriter || dir_.empty() || !block_) return -1;
    int64_t now = zo::nowsec();
    int64_t cur = periodstamp(now);
    if (wfile_ && stamp_ != cur) closewriter(true);  // never reopened by this writer
    if (!data || length == 0) return 0;

    if (!wfile_) {
        if (!setpath(cur)) return -1;
        // A file of this period from before a restart may end in a torn
        // block: check it before the first append of this run.
        uint64_t whole = wholeblocks(cur);
        wfile_ = zo::env::current()->openappend(std::string(path_.view()));
        if (!wfile_) {
            ++writefails_;
            if (!failing_) {
                ZO_LOG(log_, zo::LOG_ERR, "open cache file %s for writing failed, errno %d.",
                       path_.c_str(), errno);
            }
            failing_ = true;
            return -1;
        }
        stamp_ = cur;
        uint64_t size = wfile_->size();
        if (size > whole) {
            if (wfile_->truncate(whole)) {
                ZO_LOG(log_, zo::LOG_WRN,
                       "cache file %s: %" PRIu64 " bytes behind its last whole block at %" PRIu64
                       " cut before appending.",
                       path_.c_str(), size - whole, whole);
            } else {
                ZO_LOG(log_, zo::LOG_ERR,
                       "cache file %s: cutting %" PRIu64 " torn bytes failed, errno %d.",
                       path_.c_str(), size - whole, errno);
            }
        }
    }

    uint8_t* h = block_;
    uint8_t* body = block_ + headsize;
    put16(h, magic);
    h[3] = kind;
    put16(h + 4, length);
    uint32_t bodylen = length;
    uint8_t compress = compressnone;
    if (length >= compressfrom) {
        uint32_t bound = zo::lz4block::bound(length);
        if (bound > maxbody) return -1;
        int n = zo::lz4block::compress(data, length, body, maxbody);
        if (n <= 0) return -1;
        if (n <= 0xFFFF) {
            bodylen = static_cast<uint32_t>(n);
            compress = compresslz4;
        }
    }
    if (compress == compressnone) std::memcpy(body, data, length);
    h[2] = compress;
    put16(h + 6, bodylen);

    // One append per block, straight to the system: nothing waits in a
    // user-space buffer where a crash would lose it.  A failed append may
    // have left part of the block: cut it off again.
    uint64_t before = wfile_->size();
    if (!wfile_->append(block_, headsize + bodylen)) {
        int err = errno;
        wfile_->truncate(before);
        errno = err;
        ++writefails_;
        if (!failing_) {
            ZO_LOG(log_, zo::LOG_ERR,
                   "write cache file %s failed, errno %d, %" PRIu64 " blocks lost so far.",
                   path_.c_str(), errno, writefails_);
        }
        failing_ = true;
        return -1;
    }
    failing_ = false;
    return 0;
}

int cachefile::openread(int64_t stamp, zo::ilog* lg) {
    if (mode_ != modereader) return -1;
    rfile_.reset();
    if (!setpath(stamp)) return -1;
    if (openpathread(lg) != 0) return -1;
    stamp_ = stamp;
    return 0;
}

int cachefile::openpath(std::string_view path, zo::ilog* lg) {
    if (mode_ != modereader) return -1;
    rfile_.reset();
    path_.assign(path);
    stamp_ = 0;
    return openpathread(lg);
}

int cachefile::openpathread(zo::ilog* lg) {
    rpos_ = filepos_ = skipped_ = goodend_ = damageat_ = damagelen_ = 0;
    storedlen_ = 0;
    rfile_ = zo::env::current()->openread(std::string(path_.view()));
    if (!rfile_ || !block_ || !decode_) {
        rfile_.reset();
        ZO_LOG(lg, zo::LOG_ERR, "open cache file %s failed.", path_.c_str());
        return -1;
    }
    ZO_LOG(lg, zo::LOG_INF, "open cache file %s success.", path_.c_str());
    return 0;
}

uint64_t cachefile::wholeblocks(int64_t stamp) {
    cachefile rd(modereader);
    rd.setdirectory(dir_.view());
    if (rd.openread(stamp, nullptr) != 0) return 0;
    zo::string b;
    while (rd.readblock(b, nullptr) >= 0) {
    }
    return rd.goodend();
}

int cachefile::decodeat(uint64_t at, zo::string& out, zo::ilog* lg, bool strict, uint64_t* len) {
    *len = 0;
    if (at != filepos_) {
        if (!rfile_->seek(at)) return blkend;
        filepos_ = at;
    }
    int64_t got = rfile_->read(block_, headsize);
    if (got > 0) filepos_ += static_cast<uint64_t>(got);
    if (got != static_cast<int64_t>(headsize)) {
        *len = got > 0 ? static_cast<uint64_t>(got) : 0;
        return blkend;
    }
    const uint8_t* h = block_;
    uint32_t compress = h[2];
    uint32_t kind = h[3];
    uint32_t rawlen = get16(h + 4);
    uint32_t bodylen = get16(h + 6);
    if (get16(h) != magic || rawlen == 0 || rawlen > maxraw || bodylen == 0 ||
        (compress == compressnone && rawlen != bodylen)) {
        // A raw body is its decoded form: any other length is a forged header.
        ZO_LOG(lg, zo::LOG_ERR, "cache file %s blk error.", path_.c_str());
        return blkbad;
    }
    uint8_t* body = block_ + headsize;
    got = rfile_->read(body, bodylen);
    if (got > 0) filepos_ += static_cast<uint64_t>(got);
    if (got != static_cast<int64_t>(bodylen)) {
        ZO_LOG(lg, zo::LOG_ERR, "cache file %s read block body error.", path_.c_str());
        return blkbad;
    }
    if (compress == compressnone) {
        if (!out.append(body, rawlen)) return blkbad;
    } else if (compress == compresslz4) {
        int n = zo::lz4block::decompress(body, bodylen, decode_, bufsize);
        if (n < 0) n = 0;
        if (static_cast<uint32_t>(n) != rawlen) {
            ZO_LOG(lg, zo::LOG_ERR, "cache file %s lz4_decode block body error.", path_.c_str());
            return blkbad;
        }
        if (!out.append(decode_, rawlen)) return blkbad;
    } else {
        ZO_LOG(lg, zo::LOG_ERR, "cache file %s unkown block body compress %u.", path_.c_str(),
               compress);
        return blkbad;
    }
    // A block found by looking past damage must also hold what a block of
    // ours holds: random bytes pass the header checks now and then.
    if (strict && !framed(reinterpret_cast<const uint8_t*>(out.data()), out.size())) return blkbad;
    *len = headsize + bodylen;
    return static_cast<int>(kind);
}

uint64_t cachefile::nextmagic(uint64_t from) {
    // The decode buffer is free between blocks: read the file through it.
    uint64_t pos = from;
    for (;;) {
        if (!rfile_->seek(pos)) return pos;
        int64_t got = rfile_->read(decode_, bufsize);
        if (got <= 0) {
            filepos_ = pos;
            return pos;
        }
        uint64_t n = static_cast<uint64_t>(got);
        filepos_ = pos + n;
        for (uint64_t i = 0; i + 1 < n; ++i) {
            if (decode_[i] == (magic & 0xFF) && decode_[i + 1] == (magic >> 8)) return pos + i;
        }
        if (n < bufsize) return pos + n;
        pos += n - 1;  // the last byte may start a magic
    }
}

int cachefile::readblock(zo::string& out, zo::ilog* lg) {
    out.clear();
    damageat_ = damagelen_ = 0;
    storedlen_ = 0;
    if (mode_ != modereader || !rfile_ || !block_ || !decode_) return -1;
    uint64_t run = 0;  // bytes passed over since the last whole block
    const uint64_t from = rpos_;
    for (;;) {
        uint64_t len = 0;
        // Only the first damaged block of a run is reported: the candidates
        // tried while looking for the next block are not blocks at all.
        int r = decodeat(rpos_, out, run ? nullptr : lg, run != 0, &len);
        if (r >= 0) {
            if (run) {
                ZO_LOG(lg, zo::LOG_WRN,
                       "cache file %s: %" PRIu64
                       " bytes of damaged blocks passed over, "
                       "resumed at offset %" PRIu64 ".",
                       path_.c_str(), run, rpos_);
                damageat_ = from;
                damagelen_ = run;
            }
            rpos_ += len;
            goodend_ = rpos_;
            storedlen_ = static_cast<uint32_t>(len);
            return r;
        }
        if (r == blkend) {
            if (run) {
                run += len;
                skipped_ += len;
                ZO_LOG(lg, zo::LOG_WRN,
                       "cache file %s: %" PRIu64
                       " bytes of damaged blocks passed over up to "
                       "its end.",
                       path_.c_str(), run);
                damageat_ = from;
                damagelen_ = run;
            }
            out.clear();
            return -1;
        }
        out.clear();
        uint64_t next = nextmagic(rpos_ + 1);
        run += next - rpos_;
        skipped_ += next - rpos_;
        rpos_ = next;
    }
}

void cachefile::remove(zo::ilog* lg) {
    if (isopen()) {
        if (wfile_) closewriter(false);  // about to be deleted: no point in a sync
        rfile_.reset();
        stamp_ = 0;
    }
    if (!path_.empty()) {
        bool ok = zo::env::current()->removefile(std::string(path_.view()));
        ZO_LOG(lg, zo::LOG_INF, "delete local cache file %s %s", path_.c_str(),
               ok ? "success" : "failed");
        path_.clear();
    }
}

}  // namespace zo
