// backend.h - the one small interface between the library thread and a
// database engine: the SQLite file (the embedded default, sqlitedb.h) and
// the PostgreSQL server (pgdb.h), chosen by the URL's scheme.
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
#include <atomic>
#include <cstdint>
#include <functional>
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

// A row of a value request that the database refused, and why.
struct rowrefusal {
    size_t index = 0;
    std::string why;
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

    // Writes the rows of one value request in the transaction begin()
    // opened.  Without insert ("oxa_writesnaps"): each row upserts its tag's
    // snapshot (the last row of a tag wins) and adds a history row.  With
    // insert ("oxa_insert", replayed values): history rows, and snapshots
    // that move only forward in time.  A history row whose (name, time) is
    // there already is left alone and counted in *dups, so a request written
    // twice lands once.  Rows refused one by one are listed in *refused (the
    // others are written); DB_FAIL or DB_LOST concern the whole request.
    // REQUIRES: the first write after begin() (a backend may restart the
    // transaction to find the refused rows).  The default writes row by row
    // through putsnapshot and puthistory.
    virtual int putrows(const std::vector<tagrow>& rows, bool insert,
                        std::vector<rowrefusal>* refused, size_t* dups);
    // Upserts the snapshot of row.name; with onlynewer, an existing snapshot
    // moves only when row.time is later than its time.  Only the default
    // putrows needs these two.
    virtual int putsnapshot(const tagrow& row, bool onlynewer);
    // DB_DUP when history has a row of this name and time already.
    virtual int puthistory(const tagrow& row);
    // DB_DUP when an SOE row equal in every field is there already (a
    // backend that writes SOE rows at commit may leave them out there
    // silently instead).
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
    // for example, the file was removed under it.  Also the place for
    // housekeeping that is due (it runs outside any transaction).
    virtual int check() = 0;
    // What open() did that the library should log once (a schema change),
    // empty when nothing; cleared by the call.
    virtual std::string takenotice() { return std::string(); }

    // The database in use: 0 the one of the URL, 1 the standby.
    virtual int current() const { return 0; }
    // A socket that becomes readable when the database has news for us (a
    // notification of a control write): the library thread waits on it
    // besides its own wake-ups, and looks at once.  -1: none.
    virtual int waitfd() const { return -1; }

    // Waits for a server end soon after *stop becomes true (set by another
    // thread); the flag outlives the backend.
    void setstop(const std::atomic<bool>* stop) { stop_ = stop; }
    // Where the backend's own lines go (level as in oxa_logfn).
    using logsink = std::function<void(int level, const std::string& text)>;
    void setlog(logsink fn) { log_ = std::move(fn); }

  protected:
    void log(int level, const std::string& text) const {
        if (log_) log_(level, text);
    }
    const std::atomic<bool>* stop_ = nullptr;

  private:
    logsink log_;
};

// What oxa_connectex and oxa_setslavedb add to the URL: the login when the
// URL has none, and the standby.  prefer (shared by the backends one handle
// makes) remembers which database served last, so that a reconnect tries it
// first and never falls back by itself to a former primary.
struct dblogin {
    std::string user;
    std::string pswd;
    std::string slavehost;  // empty: no standby
    uint16_t slaveport = 0;
    std::string slaveuser;
    std::string slavepswd;
    std::shared_ptr<std::atomic<int>> prefer;
};

struct dburl;
// The backend for a parsed URL, or null with the reason in *err (a setting
// in the URL that is not understood).  Connects nothing yet.
std::unique_ptr<backend> makebackend(const dburl& u, const dblogin& login, std::string* err);

}  // namespace oxa
