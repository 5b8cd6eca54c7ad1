// backend.h - the one small interface between the library thread and a
// database engine.  The SQLite file is the embedded default; a server
// database joins later by implementing the same calls.
//
// Results: DB_OK; DB_FAIL when one statement or row was refused but the
// connection is still good (a constraint, a busy lock); DB_LOST when the
// connection can no longer be trusted (I/O error, full disk, read-only or
// vanished file, damaged database) - the caller closes it and reconnects;
// DB_DUP from puthistory and putsoe when the row is there already (see
// below) and nothing was written.  The reason of the last failure is in
// error().
//
// Writes of history and SOE rows are idempotent: history is keyed on (name,
// time) and an SOE row on all of its fields, and a row whose key is taken
// already is left as it is (DB_DUP).  A request that is written twice - a
// cache block replayed again after a crash, a request sent again because
// its answer was lost with the connection - therefore never doubles a row.
// Every backend keeps this rule.
//
// Thread-safety: a backend belongs to the one library thread of its handle.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "oxaapi/oxaapi.h"

namespace oxa {

enum dbresult : int { DB_OK = 0, DB_FAIL = 1, DB_LOST = 2, DB_DUP = 3 };

// How a value is stored: INTEGER for types 1, 2, 4; REAL for 3, 5; TEXT for
// 6; BLOB for 7.
enum valkind : int { VAL_NULL = 0, VAL_INT, VAL_REAL, VAL_TEXT, VAL_BLOB };

struct tagrow {
    std::string name;
    int64_t time = 0;  // ms since 1970 UTC
    int32_t quality = 0;
    int32_t type = 0;
    int kind = VAL_NULL;
    int64_t i = 0;
    double d = 0;
    std::string bytes;  // TEXT or BLOB
};

// A control write waiting for delivery.
struct ctrlrow {
    int64_t id = 0;
    tagrow tag;
};

class backend {
  public:
    virtual ~backend() = default;

    // Opens the database and creates the missing tables.
    virtual int open() = 0;
    virtual void close() = 0;
    virtual const std::string& error() const = 0;

    virtual int begin() = 0;
    virtual int commit() = 0;
    virtual int rollback() = 0;

    // Upserts the snapshot of row.name; with onlynewer, an existing snapshot
    // moves only when row.time is later than its time.
    virtual int putsnapshot(const tagrow& row, bool onlynewer) = 0;
    // DB_DUP when history has a row of this name and time already.
    virtual int puthistory(const tagrow& row) = 0;
    // DB_DUP when an SOE row equal in every field is there already.
    virtual int putsoe(const oxa_soerec& rec) = 0;
    // Adds (add) or removes a control tag.
    virtual int putctrltag(const std::string& name, bool add) = 0;
    // Up to max undelivered control writes of registered control tags,
    // oldest first, appended to out.
    virtual int pendingctrl(std::vector<ctrlrow>* out, size_t max) = 0;
    // state: 1 delivered, -1 refused (a type without a record).
    virtual int markctrl(int64_t id, int state) = 0;

    // True when another connection committed something since the last call
    // (and on the first call).  Cheap: called every poll.
    virtual bool changed() = 0;
    // DB_OK while the connection still reaches the database; DB_LOST when,
    // for example, the file was removed under it.
    virtual int check() = 0;
    // What open() did that the library should log once (a schema change),
    // empty when nothing; cleared by the call.
    virtual std::string takenotice() { return std::string(); }
};

struct dburl;
// The backend for a parsed URL, or null with the reason in *err.
std::unique_ptr<backend> makebackend(const dburl& u, std::string* err);

}  // namespace oxa
