// dburl.h - the database URL of the library:
//   sqlite://localhost/ABSOLUTE/PATH.db
// The path is the absolute file path (percent escapes decoded); a "?query"
// is ignored; the host must be localhost (letter case ignored).
//
// Thread-safety: pure function.
#pragma once
#include <string>
#include <string_view>

namespace oxa {

struct dburl {
    std::string scheme;  // lower case
    std::string host;
    std::string path;  // absolute, decoded
};

// False, with the reason in *err, for a text that is not such a URL.
bool parsedburl(std::string_view text, dburl* out, std::string* err);

}  // namespace oxa
