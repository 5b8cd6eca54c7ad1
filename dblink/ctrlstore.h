// ctrlstore.h - the store of control values that the database hands over.
//
// When an operator writes a control tag in the database, the client library
// calls on_value_ctrl or on_object_ctrl on its own thread; the record is
// copied into the store and logged with its name in UTF-8.  The host drains
// the store on the main thread into a tag-value array and sends it to the IO
// server.  Names are converted from code page 936 to UTF-8 exactly: a value
// goes to the IO server under the name that was registered or not at all
// (the library registers only names that come back exactly, oxa_ctrlname).
// Records wait in the store until the next drain.
//
// The store is bounded (maxvals value and maxobjs object records): when the
// host cannot send (the IO server stopped reading), a full store makes the
// callbacks return false, and the library keeps the write undelivered in the
// database and offers it again later.  Taking a record is what marks its
// write delivered, so the bound is also the most the database can believe
// delivered while it waits here.  The first refusal of a run is logged at
// warning level, and the run's count when the store takes records again.
//
// Thread-safety: one lock guards both lists.  The callbacks hold it only to
// append one record; drainctrl holds it for the whole conversion.  Log calls
// are made outside the lock.  Any thread may call any member.
#pragma once
#include <cstddef>
#include <mutex>

#include "base/array_.h"
#include "base/ilog.h"
#include "dblink/dbtypes.h"
#include "oxaapi/oxaapi.h"

namespace zo {

class ctrlstore {
  public:
    explicit ctrlstore(zo::ilog* log);
    ctrlstore(const ctrlstore&) = delete;
    ctrlstore& operator=(const ctrlstore&) = delete;

    static constexpr size_t maxvals = 8192;
    static constexpr size_t maxobjs = 512;

    // Callbacks for oxa_initwritetodevice; store is the ctrlstore.  They cut
    // the record's name to 79 bytes and return true when the record was
    // kept, false when the store is full (or out of memory).
    static bool on_value_ctrl(oxa_valrec* rec, void* store);
    static bool on_object_ctrl(oxa_objrec* rec, void* store);

    // Appends every waiting record to body->items as a tag value, value
    // records first, and empties the store (keeping its capacity).  Records
    // without a usable value (type outside 1..5, object length outside
    // 1..999) or whose name is not code page 936 are dropped, each with a
    // log line.  Returns the number of tag values appended.
    size_t drainctrl(tagvalbody* body);

    // Records waiting (for tests and diagnostics).
    size_t pending();

  private:
    // Logs the start and the end of a run of refusals (outside the lock).
    void note(bool kept, uint64_t run, const char* name);

    zo::ilog* log_;
    std::mutex mu_;
    zo::array_<oxa_valrec> vals_;
    zo::array_<oxa_objrec> objs_;
    uint64_t refusals_ = 0;  // since the store last took a record; under mu_
};

}  // namespace zo
