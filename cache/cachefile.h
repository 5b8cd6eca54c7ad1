// cachefile.h - one local cache file, written or read block by block.
//
// Records that cannot reach the database are kept in files named
// "ioch_<stamp>", one per ten-minute period (stamp = start of the period in
// seconds since 1970, UTC).  A file is a plain run of blocks; each block is an
// 8-byte little-endian header followed by its body:
//
//   magic 0xD187 (u16) | compress (u8: 0 raw, 2 LZ4 block) | kind (u8: 0 tag
//   values, 1 SOE records) | rawlen (u16, 1..65280) | bodylen (u16, >= 1)
//
// The decoded body is a body_objarray encoding (entries 0x0A, varint length,
// record).  Bodies below 128 bytes are stored raw, longer ones as one LZ4
// block; an LZ4 body that would not fit the 16-bit bodylen (nearly 64 KB of
// incompressible data) is stored raw instead, since rawlen always fits.
//
// Durability: every block goes to the operating system in one append as soon
// as it is built (no user-space buffer), so a killed process loses no block
// it had cached.  The file is synced to disk when its period ends and when
// closefile() is called at stop.
//
// Files go through zo::env::current(), which is also the clock: tests move
// time and inject write failures there.
//
// An object is either a writer (writeblock) or a reader (openread,
// readblock), fixed at construction; remove() works for both.  The logger
// argument may be null (nothing logged).
//
// Thread-safety: none; one thread (the link's writer thread) uses an object.
#pragma once
#include <cstdint>
#include <memory>
#include <string_view>

#include "base/env.h"
#include "base/ilog.h"
#include "base/string_.h"

class cachefile {
  public:
    static constexpr int modereader = 0;
    static constexpr int modewriter = 1;

    static constexpr uint16_t magic = 0xD187;
    static constexpr uint32_t headsize = 8;
    static constexpr uint32_t maxraw = 65280;   // largest decoded body
    static constexpr uint32_t maxbody = 66312;  // LZ4 output room
    static constexpr uint32_t bufsize = 66320;  // header + maxbody
    static constexpr uint32_t compressfrom = 128;
    static constexpr uint8_t compressnone = 0;
    static constexpr uint8_t compresslz4 = 2;
    static constexpr uint8_t kindtagval = 0;
    static constexpr uint8_t kindsoe = 1;
    static constexpr int64_t period = 600;

    explicit cachefile(int mode);
    ~cachefile();
    cachefile(const cachefile&) = delete;
    cachefile& operator=(const cachefile&) = delete;

    // Directory ending in '/'; file paths are directory + name.
    void setdirectory(std::string_view dir);
    // Logger for write failures (the writer's operations take none).
    void setlog(zo::ilog* lg) { log_ = lg; }

    // Start of the ten-minute period of second t.
    static int64_t periodstamp(int64_t t);
    // "ioch_<stamp>" into out; false when the name would not fit 64 bytes.
    static bool filename(int64_t stamp, zo::string& out);

    // Writer.  Appends one block of kind with length bytes of data (at most
    // 65280).  Closes (and syncs) the open file first when its period has
    // ended; a call without data does only that.  0 on success or when there
    // was nothing to write, -1 on failure.
    int writeblock(uint8_t kind, const void* data, uint32_t length);
    // Syncs and closes the writer's file (at stop).  Harmless when none.
    void closefile();
    // Blocks that could not be appended since construction.
    uint64_t writefailures() const { return writefails_; }

    // Reader.  Opens the file of stamp; 0 or -1 (logged).  After a failed
    // open, path() still names the file so that remove() deletes it.
    int openread(int64_t stamp, zo::ilog* lg);
    // The next block's kind (0..255) with its decoded body in out, or -1 at
    // the end of the file or at a damaged block (logged, except a torn
    // header at the end).
    int readblock(zo::string& out, zo::ilog* lg);

    // Closes the open file and removes the file at path() (logged).
    void remove(zo::ilog* lg);

    bool isopen() const { return wfile_ != nullptr || rfile_ != nullptr; }
    int64_t stamp() const { return stamp_; }
    const zo::string& path() const { return path_; }
    const zo::string& directory() const { return dir_; }

  private:
    bool setpath(int64_t stamp);
    void closewriter(bool sync);

    const int mode_;
    int64_t stamp_ = 0;
    zo::string dir_;
    std::unique_ptr<zo::appendfile> wfile_;
    std::unique_ptr<zo::readfile> rfile_;
    zo::string path_;
    uint8_t* block_ = nullptr;   // bufsize bytes: header + body
    uint8_t* decode_ = nullptr;  // bufsize bytes: LZ4 output
    zo::ilog* log_ = nullptr;
    uint64_t writefails_ = 0;
    bool failing_ = false;  // the last append failed: log only the first of a run
};
