// Fuzz target: logview's datagram reader and formatter.  Whatever arrives,
// the line is valid UTF-8, ends in one line feed and holds no control
// character but tabs and its own line feeds (each followed by indentation):
// a hostile datagram cannot steer the terminal.
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/charset.h"
#include "fuzz/fuzzmain.h"
#include "tools/logview/logview.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    std::string_view dgram(reinterpret_cast<const char*>(data), size);
    logview::header h;
    std::string_view text;
    if (logview::parse(dgram, &h, &text)) {
        if (text.data() < dgram.data() || text.data() + text.size() > dgram.data() + dgram.size())
            std::abort();
    }
    std::string out;
    if (!logview::format(dgram, 1700000000000LL, 999, false, out)) return 0;
    if (out.empty() || out.back() != '\n') std::abort();
    if (!zo::isutf8(out.data(), static_cast<uint32_t>(out.size()))) std::abort();
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c == '\n') {
            if (i + 1 < out.size() && out[i + 1] != ' ') std::abort();
            continue;
        }
        if ((c < 0x20 && c != '\t') || c == 0x7F) std::abort();
    }
    return 0;
}
