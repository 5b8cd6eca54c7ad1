#include "cache/cachefile.h"

#include <lz4.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/alloc.h"

namespace {

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t get16(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
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
    }

    uint8_t* h = block_;
    uint8_t* body = block_ + headsize;
    put16(h, magic);
    h[3] = kind;
    put16(h + 4, length);
    uint32_t bodylen = length;
    uint8_t compress = compressnone;
    if (length >= compressfrom) {
        uint32_t bound = length + length / 255 + 16;
        if (bound > maxbody) return -1;
        int n = LZ4_compress_default(static_cast<const char*>(data), reinterpret_cast<char*>(body),
                                     static_cast<int>(length), static_cast<int>(maxbody));
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
    // user-space buffer where a crash would lose it.
    if (!wfile_->append(block_, headsize + bodylen)) {
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
    rfile_ = zo::env::current()->openread(std::string(path_.view()));
    if (!rfile_ || !block_ || !decode_) {
        rfile_.reset();
        ZO_LOG(lg, zo::LOG_ERR, "open cache file %s failed.", path_.c_str());
        return -1;
    }
    ZO_LOG(lg, zo::LOG_INF, "open cache file %s success.", path_.c_str());
    stamp_ = stamp;
    return 0;
}

int cachefile::readblock(zo::string& out, zo::ilog* lg) {
    out.clear();
    if (mode_ != modereader || !rfile_) return -1;
    if (rfile_->read(block_, headsize) != static_cast<int64_t>(headsize)) return -1;
    const uint8_t* h = block_;
    uint32_t compress = h[2];
    uint32_t kind = h[3];
    uint32_t rawlen = get16(h + 4);
    uint32_t bodylen = get16(h + 6);
    if (get16(h) != magic || rawlen == 0 || bodylen == 0) {
        ZO_LOG(lg, zo::LOG_ERR, "cache file %s blk error.", path_.c_str());
        return -1;
    }
    uint8_t* body = block_ + headsize;
    if (rfile_->read(body, bodylen) != static_cast<int64_t>(bodylen)) {
        ZO_LOG(lg, zo::LOG_ERR, "cache file %s read block body error.", path_.c_str());
        return -1;
    }
    if (compress == compressnone) {
        // A raw body is its decoded form: any other length is a forged header.
        if (rawlen != bodylen) {
            ZO_LOG(lg, zo::LOG_ERR, "cache file %s blk error.", path_.c_str());
            return -1;
        }
        if (!out.append(body, rawlen)) return -1;
    } else if (compress == compresslz4) {
        int n = LZ4_decompress_safe(reinterpret_cast<const char*>(body),
                                    reinterpret_cast<char*>(decode_), static_cast<int>(bodylen),
                                    static_cast<int>(bufsize));
        if (n < 0) n = 0;
        if (static_cast<uint32_t>(n) != rawlen) {
            ZO_LOG(lg, zo::LOG_ERR, "cache file %s lz4_decode block body error.", path_.c_str());
            return -1;
        }
        if (!out.append(decode_, rawlen)) return -1;
    } else {
        ZO_LOG(lg, zo::LOG_ERR, "cache file %s unkown block body compress %u.", path_.c_str(),
               compress);
        return -1;
    }
    return static_cast<int>(kind);
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
