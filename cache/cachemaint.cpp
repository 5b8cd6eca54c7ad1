#include "cache/cachemaint.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/env.h"

namespace zo {

namespace {

constexpr uint32_t limitevery = 30;  // seconds between limit checks
constexpr uint32_t scanevery = 10;   // seconds between replay scans
constexpr int64_t settle = 10;       // seconds into a period before replay starts
constexpr char prefix[] = "ioch_";
constexpr size_t prefixlen = 5;
constexpr uint8_t entrykey = 0x0A;  // an array entry: field 1, length-delimited

// The decimal number at the sixth character of a name (leading blanks and a
// sign allowed, stops at the first other character); 0 when there is none.
int64_t stampof(const std::string& name) {
    return cachefile::stampofname(name);
}

}  // namespace

cachemaint::cachemaint(localcache* c, historysink* s, zo::ilog* lg)
    : cache(c), sink(s), log(lg), lasttick(zo::nowsec()), soes(1) {
    block.reserve(cachefile::maxraw);
}

int cachemaint::step(bool connected, bool gapudp) {
    int64_t now = zo::nowsec();
    if (now != lasttick) {
        ++seconds;
        lasttick = now;
        // Closes the writer's file once its period is over.
        cache->writer.writeblock(cachefile::kindtagval, nullptr, 0);
        if (seconds % limitevery == 0 && cache->hasdirectory()) enforcelimits();
    }
    return replay(connected, gapudp);
}

void cachemaint::scan(uint32_t minlen, bool prefixonly, bool wantsize, std::vector<entry>* out) {
    out->clear();
    zo::env* e = zo::env::current();
    std::string dir(cache->directory.view());
    std::vector<std::string> names;
    if (!e->children(dir, &names)) return;
    for (const std::string& n : names) {
        if (n.size() < minlen) continue;
        if (prefixonly ? n.compare(0, prefixlen, prefix) != 0 : n.find(prefix) == std::string::npos)
            continue;
        int64_t stamp = stampof(n);
        if (prefixonly ? stamp <= 0 : stamp == 0) continue;
        std::string full = dir + n;
        if (e->isdir(full)) continue;
        int64_t size = 0;
        if (wantsize) {
            size = e->filesize(full);
            if (size <= 0) continue;
        }
        out->push_back({stamp, size});
    }
    std::sort(out->begin(), out->end(),
              [](const entry& a, const entry& b) { return a.stamp < b.stamp; });
}

void cachemaint::enforcelimits() {
    std::vector<entry> files;
    files.reserve(128);
    scan(6, true, true, &files);
    if (files.size() < 2) return;  // the newest file is never removed here
    int64_t total = 0;
    for (const entry& f : files) total += f.size;
    // The file being replayed is the replay's to delete: the limits take
    // the next oldest.
    size_t i = 0;
    if (cache->reader.isopen() && files[0].stamp == cache->reader.stamp()) i = 1;
    if (i + 1 >= files.size()) return;
    int64_t now = zo::nowsec();
    int64_t oldest = files[i].stamp;
    if (now - oldest < static_cast<int64_t>(cache->maxhour) * 3600 &&
        total < static_cast<int64_t>(cache->maxsize) * 1048576)
        return;
    zo::string name;
    if (!cachefile::filename(oldest, name)) return;
    zo::string path(cache->directory);
    path.append(name.view());
    uint64_t vals = 0, soes = 0;
    countrecords(oldest, &vals, &soes);
    bool ok = zo::env::current()->removefile(std::string(path.view()));
    ZO_LOG(log, zo::LOG_INF, "local cache uplimit, delete %s %s", path.c_str(),
           ok ? "success" : "failed");
    if (ok) lost(vals, soes, "cache limit");
}

void cachemaint::countrecords(int64_t stamp, uint64_t* vals, uint64_t* soes) {
    cachefile rd(cachefile::modereader);
    rd.setdirectory(cache->directory.view());
    if (rd.openread(stamp, nullptr) != 0) return;
    zo::string b;
    for (int kind; (kind = rd.readblock(b, nullptr)) >= 0;) {
        // Entries: the key byte, the record's length as a varint, the record.
        uint64_t n = 0;
        const uint8_t* p = reinterpret_cast<const uint8_t*>(b.data());
        const uint8_t* end = p + b.size();
        while (p < end && *p == entrykey) {
            ++p;
            uint64_t len = 0;
            for (int shift = 0; p < end && shift < 35; shift += 7) {
                len |= static_cast<uint64_t>(*p & 0x7F) << shift;
                if (!(*p++ & 0x80)) break;
            }
            if (len > static_cast<uint64_t>(end - p)) break;
            p += len;
            ++n;
        }
        if (kind == cachefile::kindtagval) *vals += n;
        if (kind == cachefile::kindsoe) *soes += n;
    }
}

void cachemaint::lost(uint64_t vals, uint64_t soes, const char* why) {
    lostvals += vals;
    lostsoes += soes;
    if (vals)
        ZO_LOG(log, zo::LOG_WRN, "dropped %llu tag values (%s).",
               static_cast<unsigned long long>(vals), why);
    if (soes)
        ZO_LOG(log, zo::LOG_WRN, "dropped %llu soe records (%s).",
               static_cast<unsigned long long>(soes), why);
}

void cachemaint::undecoded() {
    const zo::string& path = cache->reader.path();
    ZO_LOG(log, zo::LOG_ERR, "cache file %.*s: a block of %u bytes does not decode, passed over.",
           static_cast<int>(path.size()), path.data(), static_cast<unsigned>(block.size()));
}

void cachemaint::endfile() {
    if (histvals) ZO_LOG(log, zo::LOG_INF, "insert history tagval records %zu", size_t{histvals});
    if (histsoes) ZO_LOG(log, zo::LOG_INF, "insert history SOE records %zu", size_t{histsoes});
    cache->reader.remove(log);
    histvals = histsoes = 0;
    atend = false;
}

int cachemaint::replay(bool connected, bool gapudp) {
    if (!cache->hasdirectory() || !connected) return 0;
    cachefile& rd = cache->reader;
    if (!rd.isopen()) {
        if (seconds == lastscan || seconds % scanevery != 0) return 0;
        lastscan = seconds;
        std::vector<entry> files;
        files.reserve(32);
        scan(8, false, false, &files);
        if (files.empty()) return 0;
        int64_t now = zo::nowsec();
        int64_t cur = cachefile::periodstamp(now);
        if (files.front().stamp >= cur || now - cur <= settle) return 0;
        if (rd.openread(files.front().stamp, log) != 0) rd.remove(log);
        return 1;
    }
    if (gapudp) {
        ZO_LOG(log, zo::LOG_INF, "udp channel can't insert history, delete the cache file");
        uint64_t vals = 0, soes = 0;
        countrecords(rd.stamp(), &vals, &soes);
        lost(vals, soes, "no history through gapudp");
        cache->reader.remove(log);
        histvals = histsoes = 0;
        atend = false;
        return 1;
    }
    if (atend) {
        // The file goes only once the database has settled all of it.
        if (sink && sink->replayinflight() > 0) return 0;
        endfile();
        return 1;
    }
    if (sink && sink->replayfull()) return 0;
    int kind = rd.readblock(block, log);
    if (kind < 0) {
        atend = true;
        if (!sink || sink->replayinflight() == 0) endfile();
    } else if (kind == cachefile::kindtagval) {
        auto* vals = new tagvalarray(1);
        vals->items.reserve(512);
        // A body that does not decode, or holds nothing, is passed over.
        if (!vals->parse(block.data(), block.size())) {
            undecoded();
            vals->clear();
        }
        if (!vals->items.empty()) {
            histvals += vals->items.size();
            if (sink) {
                sink->inserthistory(vals);
                vals = nullptr;
            }
        }
        delete vals;
    } else if (kind == cachefile::kindsoe) {
        soes.items.reserve(32);
        if (!soes.parse(block.data(), block.size())) {
            undecoded();
            soes.clear();
        }
        if (!soes.items.empty()) {
            if (sink) sink->putsoe(soes);
            histsoes += soes.items.size();
        }
        soes.clear();
    }
    return 1;
}

}  // namespace zo
