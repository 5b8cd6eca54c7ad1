// pgdb.h - the PostgreSQL backend: a server database through libpq, with an
// optional standby to fail over to.
//
// Tables (created when missing; see docs/database.md):
//   snapshot(name PRIMARY KEY, time, quality, type, vint, vreal, vtext, vbytes)
//   history(the same, PRIMARY KEY (name, time)), range-partitioned on time
//   soe(id, f230 ... f240)
//   ctrltags(name PRIMARY KEY)
//   ctrlwrites(id, name, time, quality, type, vint ... vbytes, written,
//              delivered), whose inserts NOTIFY the channel "ctrlwrites"
//   meta(key PRIMARY KEY, value)
// Times are milliseconds since 1970 UTC (bigint).  A value lands in the one
// column of its kind: vint (types 1, 2, 4), vreal (3, 5; NaN and infinities
// kept), vtext (6), vbytes (7, and a type-6 text that is not UTF-8 without
// zero bytes, so that it is kept byte for byte).
//
// A value request is one transaction: the rows go into history by one
// binary COPY, and the newest row of each tag into snapshot by one upsert
// over arrays (unnest).  When the COPY meets a row already there (same name
// and time: a request written again after its answer was lost, a replayed
// block), the transaction starts again with an insert that leaves such rows
// alone, so history gets every row once.  When the server refuses the rows
// for their content, they are written one by one to tell the refused ones.
//
// history partitions: when history is a partitioned table (as created
// here), the backend creates day partitions ahead (partitions_ahead days)
// and on demand for the times a request carries, and drops those older than
// retention_days (0 keeps all) once an hour.  A history made by hand as a
// plain table (a TimescaleDB hypertable, say) is left to its owner.
//
// Control writes: the backend LISTENs on "ctrlwrites"; its socket
// (waitfd) wakes the library thread when a notification comes.
//
// Failover: open() tries the database used last first, then the other; a
// server in recovery (a standby not yet promoted) counts as unavailable.
//
// URL settings of ours (the other query keys go to libpq as they are):
//   connect_timeout (s, 10), statement_timeout (ms, 30000: set on the
//   server, and the bound of every wait here with 1 s to spare),
//   partition_days (1), partitions_ahead (3), retention_days (0); and
//   queuebytes, which the client library reads (oxaapi.h).
//
// Thread-safety: as every backend, one thread at a time.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "oxaapi/backend.h"
#include "oxaapi/pgconn.h"
#include "oxaapi/pgparts.h"

namespace oxa {

struct dburl;

// The statements that create the tables (run when one is missing), for the
// tools and the docs too.
extern const char* const pgschema;

struct pgsettings {
    int connectms = 10000;
    int statementms = 30000;
    int64_t periodms = daysms;
    int ahead = 3;            // days of partitions made ahead
    int64_t retentionms = 0;  // 0: keep every partition
};

struct pgtarget {
    std::string label;  // host:port, for messages
    pgparams kv;
};

class pgdb : public backend {
  public:
    pgdb(std::vector<pgtarget> targets, pgsettings s, std::shared_ptr<std::atomic<int>> prefer);
    ~pgdb() override;

    // Null with the reason in *err for a setting that is not understood.
    static std::unique_ptr<pgdb> make(const dburl& u, const dblogin& login, std::string* err);

    int open() override;
    void close() override;
    const std::string& error() const override { return err_; }
    int begin() override;
    int commit() override;
    int rollback() override;
    int putrows(const std::vector<tagrow>& rows, bool insert, std::vector<rowrefusal>* refused,
                size_t* dups) override;
    int putsoe(const oxa_soerec& rec) override;
    int putctrltag(const std::string& name, bool add) override;
    int pendingctrl(std::vector<ctrlrow>* out, size_t max) override;
    int markctrl(int64_t id, int state) override;
    bool changed() override;
    int check() override;
    int current() const override { return cur_; }
    int waitfd() const override { return conn_.socket(); }

    const std::vector<pgtarget>& targets() const { return targets_; }
    const pgsettings& settings() const { return set_; }
    // Runs SQL in autocommit (tests and tools).
    int exec(const std::string& sql, pgresult* last = nullptr);

  private:
    int fail(int rc, const std::string& what);
    int openone(const pgtarget& t);
    int ensureschema();
    int loadparts();
    int makepart(int64_t t);
    int housekeep();
    // "BEGIN;" the first time a statement of the open transaction goes out.
    std::string txprefix();
    // BEGIN, unless it went out already.
    int begintx();
    // History rows by COPY (in a new transaction), or by an insert that
    // leaves rows already there alone and adds how many to *dups.
    int copyrows(const std::vector<const tagrow*>& rows);
    int insertrows(const std::vector<const tagrow*>& rows, size_t* dups);
    // The snapshots the rows move.
    int upsertrows(const std::vector<const tagrow*>& rows, bool insert);
    // The SOE records of the transaction, leaving out those already there.
    int writesoe();
    void readinput();

    std::vector<pgtarget> targets_;
    pgsettings set_;
    std::shared_ptr<std::atomic<int>> prefer_;
    pgconn conn_;
    std::string err_;
    int cur_ = 0;

    bool intx_ = false;            // begin() was called
    bool txsent_ = false;          // BEGIN went to the server
    std::string deferred_;         // statements sent at commit
    std::vector<oxa_soerec> soe_;  // written at commit
    std::vector<int64_t> delivered_, refusedctrl_;

    bool partitioned_ = false;
    bool hasdefault_ = false;
    partplan parts_;
    int64_t nexthouse_ = 0;  // wall clock of the next housekeeping
    bool firstchange_ = true;
    bool notified_ = false;
};

// Strict UTF-8 as PostgreSQL takes it for text: no zero byte, no overlong
// form, no surrogate, nothing above U+10FFFF.
bool pgtextok(std::string_view s);

}  // namespace oxa
