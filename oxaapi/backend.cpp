#include "oxaapi/backend.h"

#include "oxaapi/dburl.h"
#include "oxaapi/sqlitedb.h"

namespace oxa {

std::unique_ptr<backend> makebackend(const dburl& u, std::string* err) {
    if (u.scheme == "sqlite") return std::make_unique<sqlitedb>(u.path);
    *err = "no backend for scheme " + u.scheme;
    return nullptr;
}

}  // namespace oxa
