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
// Damage: a power cut can leave a partial block at a file's end, and a disk
// can spoil one in the middle.  The writer, when it opens a file that exists
// already (a restart within its period), reads it through and cuts the bytes
// behind its last whole block before appending, so that new blocks never sit
// behind a torn one; an append that fails part-way is cut back the same way.
// The reader, at a damaged block, logs the damage once, then looks for the
// next offset where a whole block decodes (magic, lengths, a body that
// decodes to rawlen and is a run of array entries) and goes on from there,
// logging how many bytes it passed over.  Only the damaged blocks' own bytes
// are lost, not the blocks behind them.
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

namespace zo {

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
    // The stamp a directory entry's name gives: the signed decimal number
    // from its sixth character on (leading blanks and a sign allowed, read
    // up to the first other character, saturating), 0 when there is none.
    static int64_t stampofname(std::string_view name);

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
    // Reader.  Opens the file at path, whatever its name (for tools); stamp()
    // is then 0.  0 or -1 (logged).
    int openpath(std::string_view path, zo::ilog* lg);
    // The next whole block's kind (0..255) with its decoded body in out, or
    // -1 at the end of the file.  Damaged blocks on the way are logged and
    // passed over (see the top comment); a torn header at the very end is
    // the end, without a line.
    int readblock(zo::string& out, zo::ilog* lg);
    // Bytes the reader passed over in the open file, and the offset just
    // behind the last whole block it read.
    uint64_t skippedbytes() const { return skipped_; }
    uint64_t goodend() const { return goodend_; }
    // The damaged bytes the last readblock() passed over: their offset and
    // count (0 when it passed over none).
    uint64_t damageat() const { return damageat_; }
    uint64_t damagelen() const { return damagelen_; }
    // The last block readblock() returned, as it is stored (header and
    // body); valid until the next read.
    std::string_view storedblock() const {
        return {reinterpret_cast<const char*>(block_), static_cast<size_t>(storedlen_)};
    }

    // Closes the open file and removes the file at path() (logged).
    void remove(zo::ilog* lg);

    bool isopen() const { return wfile_ != nullptr || rfile_ != nullptr; }
    int64_t stamp() const { return stamp_; }
    const zo::string& path() const { return path_; }
    const zo::string& directory() const { return dir_; }

  private:
    // decodeat's results besides a kind.
    static constexpr int blkend = -1;  // fewer than 8 bytes left
    static constexpr int blkbad = -2;  // a damaged block

    bool setpath(int64_t stamp);
    int openpathread(zo::ilog* lg);
    void closewriter(bool sync);
    // The end of the last whole block of the existing file of stamp (0 when
    // there is none or it cannot be read).
    uint64_t wholeblocks(int64_t stamp);
    // Reads the block at offset at into out; its kind with *len its whole
    // length, blkend with *len the bytes left, or blkbad (logged to lg).
    // strict: the decoded body must also be a run of array entries.
    int decodeat(uint64_t at, zo::string& out, zo::ilog* lg, bool strict, uint64_t* len);
    // Offset of the next block magic at or after from, or of the file's end.
    uint64_t nextmagic(uint64_t from);

    const int mode_;
    int64_t stamp_ = 0;
    zo::string dir_;
    std::unique_ptr<zo::appendfile> wfile_;
    std::unique_ptr<zo::readfile> rfile_;
    zo::string path_;
    uint64_t rpos_ = 0;     // reader: offset of the next block
    uint64_t filepos_ = 0;  // reader: where the file's read position is
    uint64_t skipped_ = 0;
    uint64_t goodend_ = 0;
    uint64_t damageat_ = 0;
    uint64_t damagelen_ = 0;
    uint32_t storedlen_ = 0;
    uint8_t* block_ = nullptr;   // bufsize bytes: header + body
    uint8_t* decode_ = nullptr;  // bufsize bytes: LZ4 output
    zo::ilog* log_ = nullptr;
    uint64_t writefails_ = 0;
    bool failing_ = false;  // the last append failed: log only the first of a run
};

}  // namespace zo
