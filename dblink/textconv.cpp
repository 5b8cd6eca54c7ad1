#include "dblink/textconv.h"

#include <cstdint>
#include <cstring>

namespace zo {

size_t cuttext(char* field, size_t width, std::string_view text) noexcept {
    size_t n = text.size();
    if (n >= width) {
        n = width - 1;
        while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
    }
    if (n) std::memcpy(field, text.data(), n);
    field[n] = 0;
    return n;
}

}  // namespace zo
