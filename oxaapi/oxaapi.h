/* oxaapi.h - the client library of the real-time database, as a plain C
 * interface.
 *
 * A program creates a handle, registers its callbacks, and starts the
 * connection with oxa_connectex, which returns at once.  From then on one
 * library thread per handle owns the database connection: it opens the
 * database (creating the tables when they are missing), reports the outcome
 * through the status callback, executes the queued requests in the order
 * they were accepted, and hands control writes of registered control tags
 * to the value and object callbacks.
 *
 * URL, whose scheme chooses the database:
 *   "sqlite://localhost/ABSOLUTE/PATH.db" - the text after the host is the
 *   absolute path of the database file (percent escapes are decoded); the
 *   host must be "localhost".
 *   "postgresql://[USER[:PASSWORD]@]HOST[:PORT]/DBNAME[?KEY=VALUE&...]" - a
 *   PostgreSQL server through libpq (see oxaapi/pgdb.h for the settings);
 *   user and password come from the URL, else from oxa_connectex; a HOST
 *   written %2F... (or ?host=/dir) is the directory of a Unix socket.
 * Of a "?query" the library itself reads "queuebytes=N", the byte bound of
 * its request queue (default 64 MiB, at least 1 MiB), with either scheme;
 * oxa_queuebytes tells the bound in force.
 *
 * Status codes given to the status callback:
 *   OXA_CONNECTED (60001)   the database is open and writable;
 *   OXA_CONNECTFAIL (60002) an attempt to open it failed; the library tries
 *                           again after the retry interval (2 s by default);
 *   OXA_DISCONNECTED (60003) the connection was lost (an I/O error, a full
 *                           disk, a read-only or vanished file, a server
 *                           that went away or stopped answering) or closed
 *                           by oxa_disconnect; the library reconnects unless
 *                           it was told to disconnect.
 * The second argument of the status callback is a short reason text (empty
 * for OXA_CONNECTED); it is valid only during the call.
 *
 * Requests (JSON texts, see docs/database.md): "oxa_writesnaps",
 * "oxa_insert", "oxa_regctrltags_put", "oxa_regctrltags_del"; control-tag
 * names follow the rule of oxa_ctrlname.  Every request
 * accepted by oxa_callmsg (result 0) is answered exactly once through its
 * response callback: after it was executed, or with an error status when
 * it could not be (bad text, database error, the connection lost while it
 * ran, oxa_disconnect or oxa_destory before it ran).  Requests wait in the
 * queue while the database is being reconnected; the queue is bounded, and
 * a full queue makes oxa_callmsg return OXA_ERR_QUEUEFULL.
 *
 * History and SOE writes are idempotent: history holds one row per (name,
 * time) and the soe table one row per distinct record, and a value or
 * record whose row is there already is left out (counted in "dups" of the
 * answer for values).  A request answered with OXA_STATUS_DBERROR or
 * OXA_STATUS_DISCONNECTED, or SOE records refused with OXA_ERR_NOTCONNECTED,
 * may therefore be sent again without doubling a row, and so may a block of
 * cached values replayed twice.  Every database behind this library keeps
 * this rule.
 *
 * Threads: every function may be called from any thread, except that
 * oxa_disconnect and oxa_destory must not be called from inside a callback
 * of the same handle (they wait for the library thread).  Callbacks run on
 * the library thread of the handle; they must not block for long, since the
 * queue waits meanwhile.  oxa_soeput blocks its caller until the library
 * thread has written the records.
 */
#ifndef OXAAPI_OXAAPI_H_
#define OXAAPI_OXAAPI_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes of the status callback. */
#define OXA_CONNECTED 60001
#define OXA_CONNECTFAIL 60002
#define OXA_DISCONNECTED 60003

/* Interface version reported by oxa_curdb_inver: integer times ("T" as
 * milliseconds) are understood from 5104 on. */
#define OXA_INVER 5104

/* Results of the calls (0 is success). */
#define OXA_OK 0
#define OXA_ERR_HANDLE (-1) /* no such handle */
#define OXA_ERR_ARG (-2)    /* null text, negative length, bad count */
#define OXA_ERR_NOTCONNECTED                                                  \
    (-3)                       /* the database is not open, or was lost while \
                                  oxa_soeput wrote: nothing was written */
#define OXA_ERR_QUEUEFULL (-4) /* too many requests wait already */
#define OXA_ERR_URL (-5)       /* the URL names no database we can open */
#define OXA_ERR_DB (-6)        /* the database refused the write */
#define OXA_ERR_STATE (-7)     /* already connecting, or stopping */

/* "status" of a response other than 0. */
#define OXA_STATUS_BADREQUEST 1 /* the text is not a request we can read */
#define OXA_STATUS_UNKNOWN 2    /* the "request" name is not known */
#define OXA_STATUS_DBERROR                              \
    3 /* the database failed (a busy lock); nothing was \
         written */
#define OXA_STATUS_DISCONNECTED                         \
    4 /* not written: dropped by a disconnect before it \
         ran, or the connection was lost while it ran */

/* "E" of one tag in the "vals" of a response (tags without error are not
 * listed). */
#define OXA_TAGERR_NAME 1     /* "N" missing or empty */
#define OXA_TAGERR_TYPE 2     /* "DT" missing or not 1..7 */
#define OXA_TAGERR_VALUE 3    /* "V" does not fit "DT" */
#define OXA_TAGERR_TIME 4     /* "T" text is not a time */
#define OXA_TAGERR_DB 5       /* the database refused this row */
#define OXA_TAGERR_CTRLNAME 6 /* the name cannot be a control tag (see oxa_ctrlname) */

/* Value record, 104 bytes.  Time unit: 100 ms (milliseconds / 100).  Value
 * by type: 1 and 2 v.i32, 3 v.f32, 4 v.i64, 5 v.f64. */
typedef union oxa_value {
    int32_t i32;
    float f32;
    int64_t i64;
    double f64;
} oxa_value;

typedef struct oxa_valrec {
    char name[80]; /* zero-terminated */
    int64_t time;
    oxa_value v;
    int8_t type;
    int8_t quality;
    int8_t flag;
    int8_t zero;
    uint8_t pad[4];
} oxa_valrec;

/* Object record, 1104 bytes: types 6 (text) and 7 (bytes). */
typedef struct oxa_objrec {
    char name[80];
    int64_t time;
    uint32_t extra;
    uint8_t unset1[4];
    int8_t type;
    int8_t quality;
    int8_t flag;
    int8_t zero;
    uint8_t unset2[2];
    uint16_t length;    /* data bytes, at most 999 */
    uint8_t data[1000]; /* length bytes, then a zero byte */
} oxa_objrec;

/* SOE record, 512 bytes; the fields carry the numbers of the sequence-of-
 * events record they come from. */
typedef struct oxa_soerec {
    uint64_t f230;
    uint32_t f231;
    uint32_t f232;
    uint16_t f233;
    uint16_t f234;
    uint32_t f235;
    char f236[80]; /* zero-terminated texts */
    char f237[160];
    char f238[240];
    uint8_t f239;
    uint8_t f240;
    uint8_t zero[6];
} oxa_soerec;

#define OXA_NAMEMAX 79 /* name bytes kept in a record */
#define OXA_OBJDATAMAX 999

typedef void (*oxa_statusfn)(int code, const char* reason, void* user);
/* Control callbacks get a record they may change.  true: the write is
 * taken and marked delivered; false: the program has no room for it now, so
 * it stays undelivered and is offered again (with the writes behind it, in
 * order) at the next look for control writes. */
typedef bool (*oxa_valuefn)(oxa_valrec* rec, void* ctx);
typedef bool (*oxa_objectfn)(oxa_objrec* rec, void* ctx);
/* The response text is zero-terminated and valid only during the call. */
typedef void (*oxa_responsefn)(const char* text, int length, void* user);
/* Optional log sink of the library: level 10 error, 20 warning, 30 info,
 * 40 detail. */
typedef void (*oxa_logfn)(int level, const char* text, void* user);

/* A new handle (>= 0), or a negative number when none can be had. */
int oxa_create(void);
/* Names a standby of a server database (PostgreSQL): host, port, and its
 * login (empty: the first database's).  Set before oxa_connectex.  Every
 * connection attempt tries the database used last, then the other; a
 * server in recovery does not count.  The SQLite database ignores it. */
int oxa_setslavedb(int handle, const char* host, uint16_t port, const char* user, const char* pswd);
int oxa_setmessagenotify(int handle, oxa_statusfn fn, void* user);
int oxa_initwritetodevice(int handle, oxa_valuefn valfn, void* valctx, oxa_objectfn objfn,
                          void* objctx);
/* 0: the library thread started and reports through the status callback.
 * user and pswd log in to a server whose URL names none (the SQLite
 * database does not use them); flags must be 0. */
int oxa_connectex(int handle, const char* url, const char* user, const char* pswd, int flags);
/* Database in use: 0 the one of the URL, 1 the standby of oxa_setslavedb
 * (the one connected last); negative for a bad handle. */
int oxa_curdb(int handle);
/* OXA_INVER for a valid handle, negative otherwise. */
int oxa_curdb_inver(int handle);
/* Queues a request; 0 when accepted (the response follows), else an error
 * and no response. */
int oxa_callmsg(int handle, const char* text, int length, oxa_responsefn fn, void* user);
/* Queues a request whose response is not wanted (failures are logged). */
int oxa_putmsg(int handle, const char* text, int length);
/* Writes count SOE records in one transaction and returns when they are
 * stored (0) or failed (an error). */
int oxa_soeput(int handle, const oxa_soerec* recs, int count);
/* Stops the library thread: queued requests are answered with
 * OXA_STATUS_DISCONNECTED, the database is closed, and OXA_DISCONNECTED is
 * reported if it was open.  oxa_connectex may be called again. */
int oxa_disconnect(int handle);
/* oxa_disconnect, then releases the handle. */
int oxa_destory(int handle);

/* Control-tag names.  A control write reaches the program in a record whose
 * name is the tag's name in code page 936, at most OXA_NAMEMAX bytes, which
 * the program turns back into UTF-8.  A name can be a control tag only when
 * that road gives it back exactly: UTF-8 without zero bytes, every character
 * with a code in code page 936, at most OXA_NAMEMAX bytes there.
 * "oxa_regctrltags_put" refuses any other name with the per-tag error
 * OXA_TAGERR_CTRLNAME (and one log line); a control write for such a name
 * (registered by an older library) is refused (delivered = -1), never handed
 * over under a cut or changed name.  oxa_ctrlname applies the same rule for
 * a program before it registers: 0 when name (length bytes) passes, else
 * OXA_TAGERR_CTRLNAME with *why (when why is not null) set to a short reason,
 * OXA_ERR_ARG for a null name or a negative length.  Any thread. */
int oxa_ctrlname(const char* name, int length, const char** why);

/* Extensions of this library. */
int oxa_setlog(int handle, oxa_logfn fn, void* user);
/* The byte bound of the request queue of handle (see the URL above), or a
 * negative number for a bad handle.  A caller that keeps the bytes it has
 * queued and not had answered below it is never refused for a full queue. */
int64_t oxa_queuebytes(int handle);
/* Interval between connection attempts (default 2000 ms) and between looks
 * for control writes (default 50 ms).  Values <= 0 keep the current one. */
int oxa_setintervals(int handle, int retryms, int pollms);

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
#define OXA_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define OXA_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

/* The records cross the library boundary as raw bytes: their layout is fixed. */
#define OXA_FIELD_AT(rec, field, off) \
    OXA_STATIC_ASSERT(offsetof(rec, field) == off, #rec "." #field " at " #off)

OXA_STATIC_ASSERT(sizeof(oxa_valrec) == 104, "value record is 104 bytes");
OXA_FIELD_AT(oxa_valrec, time, 80);
OXA_FIELD_AT(oxa_valrec, v, 88);
OXA_FIELD_AT(oxa_valrec, type, 96);
OXA_FIELD_AT(oxa_valrec, quality, 97);
OXA_FIELD_AT(oxa_valrec, flag, 98);
OXA_FIELD_AT(oxa_valrec, pad, 100);

OXA_STATIC_ASSERT(sizeof(oxa_objrec) == 1104, "object record is 1104 bytes");
OXA_FIELD_AT(oxa_objrec, time, 80);
OXA_FIELD_AT(oxa_objrec, extra, 88);
OXA_FIELD_AT(oxa_objrec, type, 96);
OXA_FIELD_AT(oxa_objrec, quality, 97);
OXA_FIELD_AT(oxa_objrec, flag, 98);
OXA_FIELD_AT(oxa_objrec, length, 102);
OXA_FIELD_AT(oxa_objrec, data, 104);

OXA_STATIC_ASSERT(sizeof(oxa_soerec) == 512, "SOE record is 512 bytes");
OXA_FIELD_AT(oxa_soerec, f231, 8);
OXA_FIELD_AT(oxa_soerec, f232, 12);
OXA_FIELD_AT(oxa_soerec, f233, 16);
OXA_FIELD_AT(oxa_soerec, f234, 18);
OXA_FIELD_AT(oxa_soerec, f235, 20);
OXA_FIELD_AT(oxa_soerec, f236, 24);
OXA_FIELD_AT(oxa_soerec, f237, 104);
OXA_FIELD_AT(oxa_soerec, f238, 264);
OXA_FIELD_AT(oxa_soerec, f239, 504);
OXA_FIELD_AT(oxa_soerec, f240, 505);
OXA_FIELD_AT(oxa_soerec, zero, 506);

#undef OXA_FIELD_AT

#endif /* OXAAPI_OXAAPI_H_ */
