// lz4block.h - one LZ4 block (the block format, no frame) in and out, with
// the bounds taken from the library's own macros.  The package bodies of the
// IO-server link (protoc3/pkgpb3.h) and the blocks of the cache files
// (cache/cachefile.h) both go through here.
//
// Hostile input: decompress() reads no more than n bytes and writes no more
// than cap; a block that does not decode, or whose output would not fit,
// fails.  Sizes above what the library's int arguments hold fail as well,
// before the library is called.
//
// Thread-safety: pure functions; any thread.
#pragma once
#include <lz4.h>

#include <cstdint>

namespace zo::lz4block {

// The largest input one block takes.
constexpr uint32_t maxinput = LZ4_MAX_INPUT_SIZE;

// The most bytes the block of n input bytes can take; 0 when n is above
// maxinput.
constexpr uint32_t bound(uint32_t n) {
    return n <= maxinput ? static_cast<uint32_t>(LZ4_COMPRESSBOUND(n)) : 0;
}

// Compresses n bytes of src into dst (cap bytes of room): the block's length,
// 0 on failure (n above maxinput, a block that does not fit cap).
int compress(const void* src, uint32_t n, void* dst, uint32_t cap) noexcept;

// Decompresses the block of n bytes at src into dst (cap bytes of room): the
// decompressed length, negative on failure.
int decompress(const void* src, uint32_t n, void* dst, uint32_t cap) noexcept;

}  // namespace zo::lz4block
