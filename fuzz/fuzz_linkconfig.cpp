// Fuzz target: the link configuration from arbitrary text.  What is loaded
// keeps the documented limits: cache numbers inside their clamps, a cache
// path ending in '/' with forward slashes only, every link with its four
// required members.
#include <cstdlib>
#include <string_view>

#include "dblink/link_config.h"
#include "fuzz/fuzzmain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    zo::string stripped;
    stripcomments(text, stripped);
    if (stripped.size() > text.size()) std::abort();

    link_config c;
    if (!c.load_text(text)) return 0;
    if (c.cache_maxsize < 100 || c.cache_maxsize > 128000) std::abort();
    if (c.cache_maxhour < 1 || c.cache_maxhour > 168) std::abort();
    if (!c.cache_path.empty()) {
        if (c.cache_path.back() != '/' || c.cache_path.view().find('\\') != std::string_view::npos)
            std::abort();
    }
    for (const dblink_cfg& l : c.dblinks) {
        if (l.node.empty() || l.url.empty() || l.user.empty() || l.pswd.empty()) std::abort();
    }
    return 0;
}
