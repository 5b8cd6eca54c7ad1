// ctldb.h - the database under oxactl: the client library's SQLite file or
// PostgreSQL server, behind one small query interface.
//
// A cell is a value of a column in its own kind (oxa::valkind).  Commands
// write their SQL for each engine (sql() picks); parameters are numbered
// ?1.. in SQLite and $1.. in PostgreSQL.  In PostgreSQL a value sits in one
// of the columns vint, vreal, vtext, vbytes: four such columns in a row of a
// result (in that order) come back as one cell, the one that is not NULL.
//
// Thread-safety: one thread per object.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "oxaapi/dburl.h"

namespace oxactl {

struct cell {
    int kind = 0;  // oxa::valkind
    int64_t i = 0;
    double d = 0;
    std::string s;  // text or bytes
};
using row = std::vector<cell>;

cell intcell(int64_t v);
cell realcell(double v);
cell textcell(std::string s, bool blob = false);

class ctldb {
  public:
    virtual ~ctldb() = default;
    virtual bool pg() const = 0;
    // Rows of one statement with parameters; false with the reason.
    virtual bool query(const std::string& sql, const std::vector<cell>& params,
                       std::vector<row>* rows, std::string* why) = 0;
    const char* sql(const char* sqlite, const char* postgresql) const {
        return pg() ? postgresql : sqlite;
    }
};

// Opens the database of u, which must exist and carry the library's tables
// (it is never created here); null with the reason.
std::unique_ptr<ctldb> openctldb(const oxa::dburl& u, bool write, std::string* why);

}  // namespace oxactl
