// oxafuncs.h - the calls of the database client library as a table of
// function pointers.
//
// The link instance calls the library only through such a table, so that
// unit tests can put a recording double in its place without linking a
// second definition of the oxa_* functions.  oxadefault() is the table of the
// real library (oxaapi).
//
// Thread-safety: a table is immutable after construction; any thread.
#pragma once
#include <cstdint>

#include "oxaapi/oxaapi.h"

namespace zo {

struct oxafuncs {
    int (*create)();
    int (*setslavedb)(int handle, const char* host, uint16_t port, const char* user,
                      const char* pswd);
    int (*setmessagenotify)(int handle, oxa_statusfn fn, void* user);
    int (*initwritetodevice)(int handle, oxa_valuefn valfn, void* valctx, oxa_objectfn objfn,
                             void* objctx);
    int (*connectex)(int handle, const char* url, const char* user, const char* pswd, int flags);
    int (*curdb)(int handle);
    int (*curdb_inver)(int handle);
    int (*callmsg)(int handle, const char* text, int length, oxa_responsefn fn, void* user);
    int (*putmsg)(int handle, const char* text, int length);
    int (*soeput)(int handle, const oxa_soerec* recs, int count);
    int (*disconnect)(int handle);
    int (*destory)(int handle);
    // The byte bound of the library's request queue (an extension).
    int64_t (*queuebytes)(int handle);
};

// The real library's calls.
const oxafuncs* oxadefault();

}  // namespace zo
