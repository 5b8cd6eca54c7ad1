// dburl.h - the database URLs of the library:
//   sqlite://localhost/ABSOLUTE/PATH.db
//   postgresql://[USER[:PASSWORD]@]HOST[:PORT]/DBNAME[?KEY=VALUE&...]
//
// sqlite: the path is the absolute file path (percent escapes decoded); a
// "?query" is ignored; the host must be localhost (letter case ignored).
//
// postgresql (also "postgres"): user, password, host and database name are
// percent-decoded; a host that starts with '/' after decoding (written
// %2F...) is the directory of the server's Unix socket; the port defaults
// to 5432.  The query keys are kept in order, decoded, for the backend to
// read its own settings from and hand the rest to libpq.
//
// Thread-safety: pure function.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace oxa {

struct dburl {
    std::string scheme;  // lower case: "sqlite" or "postgresql"
    std::string host;
    std::string path;  // sqlite: absolute, decoded
    // postgresql:
    uint16_t port = 0;  // 0: not given
    std::string user;
    std::string password;
    bool haspassword = false;
    std::string dbname;
    std::vector<std::pair<std::string, std::string>> params;
};

// False, with the reason in *err, for a text that is not such a URL.
bool parsedburl(std::string_view text, dburl* out, std::string* err);

// The URL with the password of its user part replaced by "***", for logs.
std::string hidepassword(std::string_view text);

}  // namespace oxa
