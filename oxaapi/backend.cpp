#include "oxaapi/backend.h"

#include "oxaapi/dburl.h"
#include "oxaapi/pgdb.h"
#include "oxaapi/sqlitedb.h"

namespace oxa {

int backend::putrows(const std::vector<tagrow>& rows, bool insert,
                     std::vector<rowrefusal>* refused, size_t* dups) {
    for (size_t i = 0; i < rows.size(); ++i) {
        const tagrow& row = rows[i];
        int hist = DB_OK;  // the history write's own result
        int r = insert ? (hist = puthistory(row)) : putsnapshot(row, false);
        if (r == DB_OK || r == DB_DUP) r = insert ? putsnapshot(row, true) : (hist = puthistory(row));
        if (r == DB_DUP) r = DB_OK;
        if (r == DB_OK && hist == DB_DUP) ++*dups;
        if (r == DB_FAIL) refused->push_back(rowrefusal{i, error()});
        if (r == DB_LOST) return r;
    }
    return DB_OK;
}

int backend::putsnapshot(const tagrow&, bool) {
    return DB_FAIL;
}

int backend::puthistory(const tagrow&) {
    return DB_FAIL;
}

std::unique_ptr<backend> makebackend(const dburl& u, const dblogin& login, std::string* err) {
    if (u.scheme == "sqlite") return std::make_unique<sqlitedb>(u.path);
    if (u.scheme == "postgresql") return pgdb::make(u, login, err);
    *err = "no backend for scheme " + u.scheme;
    return nullptr;
}

}  // namespace oxa
