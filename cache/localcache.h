// localcache.h - the link's local cache: where tag values and SOE records go
// while the database cannot be reached.
//
// The store turns one batch (a body_objarray of tag values or of SOE
// records) into blocks of the current ten-minute file (see cachefile.h).
// Records are encoded as array entries; a block is cut before its decoded
// body would pass 65,280 bytes, and as soon as 63,232 bytes are buffered.  A
// single record whose entry alone exceeds 65,280 bytes cannot be cached and
// is dropped with a warning; so is a record that does not encode (a name
// that is not UTF-8).
//
// Until configure() is given a directory the store has none and caches
// nothing.  Limits start at 1000 MBytes and 8 hours; the link configuration
// supplies the real ones.  The limits and the replay are cachemaint's work.
//
// Ownership: the store owns its two file objects; batches stay the caller's.
// The logger is borrowed and must outlive the store.
//
// Thread-safety: none; only the link's writer thread uses the store (or one
// thread while the writer thread is not running).
#pragma once
#include <cstdint>
#include <string_view>

#include "base/ilog.h"
#include "base/string_.h"
#include "cache/cachefile.h"
#include "protoc3/bodies.h"

namespace zo {

class localcache {
  public:
    explicit localcache(zo::ilog* lg = nullptr);

    // An empty directory leaves the store untouched.  Otherwise sets the
    // directory (with '/' at its end) of the store, the reader and the
    // writer, and both limits.
    void configure(std::string_view dir, int maxsizemb, int maxhours);
    bool hasdirectory() const { return !directory.empty(); }

    // Encode a batch into blocks of kind 0 (tag values) or 1 (SOE records).
    // A null or empty batch only rolls the writer over.  Nothing happens
    // without a directory.
    void puttagvals(const tagvalarray* body);
    void putsoes(const soearray* body);

    // Syncs and closes the writer's file (at stop).
    void closewriter() { writer.closefile(); }

    // Records dropped because they could not be encoded into a block, and
    // blocks the writer failed to append.
    uint64_t droppedrecords() const { return dropped; }
    uint64_t writefailures() const { return writer.writefailures(); }
    // Tag values and SOE records lost in blocks that could not be appended
    // since the last call; the counts start again at 0.
    void takelost(uint64_t* vals, uint64_t* soes);
    // Tag values and SOE records the store lost, either way, since
    // construction (the metrics).
    struct lostcount {
        uint64_t vals = 0;
        uint64_t soes = 0;
    };
    lostcount losttotal() const { return lostall; }

    int maxsize = 1000;  // MBytes
    int maxhour = 8;     // hours
    cachefile reader{cachefile::modereader};
    cachefile writer{cachefile::modewriter};
    zo::string directory;

  private:
    template <class T>
    void putbatch(const body_objarray<T>* body, uint8_t kind);
    void flush(uint8_t kind);

    zo::ilog* log;
    zo::string encode;
    uint32_t pending = 0;  // records in encode
    uint64_t dropped = 0;
    uint64_t lostvals = 0;
    uint64_t lostsoes = 0;
    lostcount lostall;
};

}  // namespace zo
