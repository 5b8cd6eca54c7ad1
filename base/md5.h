// md5.h - the MD5 message digest of RFC 1321.
//
// Used for the password hash of the database login; not for security of our
// own.
//
// Thread-safety: an md5ctx belongs to one thread at a time; the free functions
// may be called from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zo {

class md5ctx {
  public:
    md5ctx() noexcept;
    void update(const void* p, size_t n) noexcept;
    // Writes the 16-byte digest.  The context must not be updated afterwards.
    void final(uint8_t digest[16]) noexcept;

  private:
    void block(const uint8_t* p) noexcept;
    uint32_t s_[4];
    uint64_t bytes_;
    uint8_t buf_[64];
};

void md5(const void* p, size_t n, uint8_t digest[16]) noexcept;
// 32 hexadecimal digits (upper case unless upper is false) and a zero byte.
void md5hex(const void* p, size_t n, char out[33], bool upper = true) noexcept;

}  // namespace zo
