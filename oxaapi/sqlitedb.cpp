#include "oxaapi/sqlitedb.h"

#include <sys/stat.h>
#include <unistd.h>

namespace oxa {

const char* const sqliteschema =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value);"
    "INSERT OR IGNORE INTO meta(key, value) VALUES('schema', 2);"
    "CREATE TABLE IF NOT EXISTS snapshot(name TEXT PRIMARY KEY, time INTEGER,"
    " quality INTEGER, type INTEGER, value);"
    "CREATE TABLE IF NOT EXISTS history(name TEXT, time INTEGER, quality INTEGER,"
    " type INTEGER, value);"
    "CREATE TABLE IF NOT EXISTS soe(id INTEGER PRIMARY KEY, f230 INTEGER, f231 INTEGER,"
    " f232 INTEGER, f233 INTEGER, f234 INTEGER, f235 INTEGER, f236 TEXT, f237 TEXT,"
    " f238 TEXT, f239 INTEGER, f240 INTEGER);"
    "CREATE TABLE IF NOT EXISTS ctrltags(name TEXT PRIMARY KEY);"
    "CREATE TABLE IF NOT EXISTS ctrlwrites(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " name TEXT NOT NULL, time INTEGER NOT NULL, quality INTEGER NOT NULL DEFAULT 0,"
    " type INTEGER NOT NULL, value, written INTEGER,"
    " delivered INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS ctrlwrites_pending ON ctrlwrites(delivered, id);";

const char* const sqlitekeys =
    "CREATE UNIQUE INDEX IF NOT EXISTS history_key ON history(name, time);"
    "CREATE UNIQUE INDEX IF NOT EXISTS soe_key ON soe(f230, f231, f232, f233, f234, f235,"
    " f236, f237, f238, f239, f240);";

namespace {

const char* const stmttext[] = {
    // ST_SNAP
    "INSERT INTO snapshot(name, time, quality, type, value) VALUES(?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT(name) DO UPDATE SET time = excluded.time, quality = excluded.quality,"
    " type = excluded.type, value = excluded.value",
    // ST_SNAPNEWER
    "INSERT INTO snapshot(name, time, quality, type, value) VALUES(?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT(name) DO UPDATE SET time = excluded.time, quality = excluded.quality,"
    " type = excluded.type, value = excluded.value WHERE excluded.time > snapshot.time",
    // ST_HIST
    "INSERT OR IGNORE INTO history(name, time, quality, type, value) VALUES(?1, ?2, ?3, ?4, ?5)",
    // ST_SOE
    "INSERT OR IGNORE INTO soe(f230, f231, f232, f233, f234, f235, f236, f237, f238, f239, f240)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)",
    // ST_CTRLADD
    "INSERT OR IGNORE INTO ctrltags(name) VALUES(?1)",
    // ST_CTRLDEL
    "DELETE FROM ctrltags WHERE name = ?1",
    // ST_PENDING
    "SELECT w.id, w.name, w.time, w.quality, w.type, w.value FROM ctrlwrites w"
    " JOIN ctrltags c ON c.name = w.name WHERE w.delivered = 0 ORDER BY w.id LIMIT ?1",
    // ST_MARK
    "UPDATE ctrlwrites SET delivered = ?2 WHERE id = ?1",
    // ST_VERSION
    "PRAGMA data_version",
};

// Schema 1 had no keys on history and soe.  Adding them drops the rows that
// repeat a key (the first written stays, as an insert now keeps it), and
// replaces the plain index on history.
const char* const dropdups[] = {
    "DELETE FROM history WHERE rowid NOT IN (SELECT MIN(rowid) FROM history GROUP BY name, time)",
    "DELETE FROM soe WHERE id NOT IN (SELECT MIN(id) FROM soe GROUP BY f230, f231, f232, f233,"
    " f234, f235, f236, f237, f238, f239, f240)",
};

// Codes after which the connection is not trusted for further writes.
bool lostcode(int rc) {
    switch (rc & 0xff) {
        case SQLITE_IOERR:
        case SQLITE_FULL:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_PERM:
        case SQLITE_NOMEM:
        case SQLITE_AUTH:
        case SQLITE_MISUSE:
            return true;
        default:
            return false;
    }
}

// The text lives in a std::string the caller keeps until the step.
void bindtext(sqlite3_stmt* st, int i, const char* s) {
    sqlite3_bind_text(st, i, s, -1, SQLITE_TRANSIENT);
}

// Bounded copy of a zero-terminated record field.
std::string fieldtext(const char* p, size_t width) {
    size_t n = 0;
    while (n < width && p[n]) ++n;
    return std::string(p, n);
}

}  // namespace

sqlitedb::sqlitedb(std::string path) : path_(std::move(path)) {}

sqlitedb::~sqlitedb() {
    close();
}

int sqlitedb::fail(int rc, const char* what) {
    err_ = what;
    err_ += ": ";
    err_ += db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    return lostcode(rc) ? DB_LOST : DB_FAIL;
}

int sqlitedb::open() {
    close();
    int rc =
        sqlite3_open_v2(path_.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        fail(rc, "open");
        // SQLite says only "unable to open database file"; the operator needs
        // to know what to fix.
        size_t slash = path_.rfind('/');
        std::string dir(slash == 0 || slash == std::string::npos ? std::string(1, '/')
                                                                 : path_.substr(0, slash));
        struct stat ds;
        const char* what = nullptr;
        if (::stat(dir.c_str(), &ds) != 0) {
            what = "directory does not exist";
        } else if (!S_ISDIR(ds.st_mode)) {
            what = "not a directory";
        } else if (::access(dir.c_str(), W_OK | X_OK) != 0) {
            what = "directory is not writable";
        }
        if (what) err_.assign(what);
        err_.append(" (").append(what ? dir : path_).append(")");
        close();
        return DB_LOST;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 5000);
    if (sqlite3_db_readonly(db_, "main") == 1) {
        err_ = "open: database file is read-only (" + path_ + ")";
        close();
        return DB_LOST;
    }
    // The first statement reads the file header: a file that is not a
    // database fails here.
    rc = walmode();
    if (rc == DB_OK) rc = exec("PRAGMA synchronous=NORMAL");
    if (rc == DB_OK) rc = exec(sqliteschema);
    if (rc == DB_OK) rc = addkeys();
    if (rc == DB_OK) rc = prepareall();
    struct stat sb;
    if (rc == DB_OK && ::stat(path_.c_str(), &sb) != 0) {
        err_ = "open: database file not found after opening (" + path_ + ")";
        rc = DB_LOST;
    }
    if (rc != DB_OK) {
        std::string why = err_;
        close();
        err_ = why;
        return DB_LOST;
    }
    dev_ = sb.st_dev;
    ino_ = sb.st_ino;
    version_ = -1;
    return DB_OK;
}

int sqlitedb::addkeys() {
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(
        db_, "SELECT count(*) FROM sqlite_master WHERE name IN ('history_key', 'soe_key')", -1, &st,
        nullptr);
    if (rc != SQLITE_OK) return fail(rc, "keys");
    int have = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
    sqlite3_finalize(st);
    if (have == 2) return DB_OK;
    rc = begin();
    int dropped[2] = {0, 0};
    for (int i = 0; rc == DB_OK && i < 2; ++i) {
        rc = exec(dropdups[i]);
        dropped[i] = sqlite3_changes(db_);
    }
    if (rc == DB_OK) rc = exec("DROP INDEX IF EXISTS history_name_time");
    if (rc == DB_OK) rc = exec(sqlitekeys);
    if (rc == DB_OK) rc = exec("UPDATE meta SET value = 2 WHERE key = 'schema'");
    if (rc == DB_OK) rc = commit();
    if (rc != DB_OK) {
        rollback();
        return rc;
    }
    if (dropped[0] || dropped[1]) {
        notice_.assign("keys added to history and soe; rows that repeated a key removed: ");
        notice_.append(std::to_string(dropped[0])).append(" history, ");
        notice_.append(std::to_string(dropped[1])).append(" soe");
    }
    return DB_OK;
}

int sqlitedb::walmode() {
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &st, nullptr);
    if (rc != SQLITE_OK) return fail(rc, "journal mode");
    rc = sqlite3_step(st);
    std::string mode;
    if (rc == SQLITE_ROW && sqlite3_column_text(st, 0))
        mode = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    if (rc != SQLITE_ROW) return fail(rc, "journal mode");
    // Without WAL every write would need a journal file beside the database;
    // this happens when the directory is not writable.  Failing here keeps the
    // connection from flapping between open and lost.
    if (mode != "wal") {
        err_ = "cannot use WAL mode (journal mode " + mode + "); is the directory writable?";
        return DB_LOST;
    }
    return DB_OK;
}

void sqlitedb::close() {
    for (auto& st : st_) {
        if (st) sqlite3_finalize(st);
        st = nullptr;
    }
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    intx_ = false;
}

int sqlitedb::exec(const char* sql) {
    if (!db_) {
        err_ = "database not open";
        return DB_LOST;
    }
    char* msg = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    if (msg) sqlite3_free(msg);
    return rc == SQLITE_OK ? DB_OK : fail(rc, "exec");
}

int sqlitedb::prepareall() {
    for (int i = 0; i < ST_COUNT; ++i) {
        int rc =
            sqlite3_prepare_v3(db_, stmttext[i], -1, SQLITE_PREPARE_PERSISTENT, &st_[i], nullptr);
        if (rc != SQLITE_OK) return fail(rc, "prepare");
    }
    return DB_OK;
}

int sqlitedb::step(int which, const char* what) {
    sqlite3_stmt* st = st_[which];
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (rc == SQLITE_DONE || rc == SQLITE_ROW) return DB_OK;
    return fail(rc, what);
}

int sqlitedb::begin() {
    int rc = exec("BEGIN IMMEDIATE");
    intx_ = rc == DB_OK;
    return rc;
}

int sqlitedb::commit() {
    int rc = exec("COMMIT");
    if (rc != DB_OK && db_ && !sqlite3_get_autocommit(db_)) {
        std::string why = err_;
        exec("ROLLBACK");
        err_ = why;
    }
    intx_ = false;
    return rc;
}

int sqlitedb::rollback() {
    int rc = DB_OK;
    if (db_ && !sqlite3_get_autocommit(db_)) rc = exec("ROLLBACK");
    intx_ = false;
    return rc;
}

void sqlitedb::bindrow(sqlite3_stmt* st, const tagrow& row) {
    sqlite3_bind_text(st, 1, row.name.data(), static_cast<int>(row.name.size()), SQLITE_STATIC);
    sqlite3_bind_int64(st, 2, row.time);
    sqlite3_bind_int(st, 3, row.quality);
    sqlite3_bind_int(st, 4, row.type);
    switch (row.kind) {
        case VAL_INT:
            sqlite3_bind_int64(st, 5, row.i);
            break;
        case VAL_REAL:
            sqlite3_bind_double(st, 5, row.d);
            break;
        case VAL_TEXT:
            sqlite3_bind_text(st, 5, row.bytes.data(), static_cast<int>(row.bytes.size()),
                              SQLITE_STATIC);
            break;
        case VAL_BLOB:
            // A zero-length blob must not become NULL.
            sqlite3_bind_blob(st, 5, row.bytes.empty() ? "" : row.bytes.data(),
                              static_cast<int>(row.bytes.size()), SQLITE_STATIC);
            break;
        default:
            sqlite3_bind_null(st, 5);
    }
}

int sqlitedb::putsnapshot(const tagrow& row, bool onlynewer) {
    if (!db_) return fail(SQLITE_MISUSE, "snapshot");
    int which = onlynewer ? ST_SNAPNEWER : ST_SNAP;
    bindrow(st_[which], row);
    return step(which, "snapshot");
}

int sqlitedb::puthistory(const tagrow& row) {
    if (!db_) return fail(SQLITE_MISUSE, "history");
    bindrow(st_[ST_HIST], row);
    int rc = step(ST_HIST, "history");
    return rc == DB_OK && sqlite3_changes(db_) == 0 ? DB_DUP : rc;
}

int sqlitedb::putsoe(const oxa_soerec& r) {
    if (!db_) return fail(SQLITE_MISUSE, "soe");
    sqlite3_stmt* st = st_[ST_SOE];
    sqlite3_bind_int64(st, 1, static_cast<int64_t>(r.f230));
    sqlite3_bind_int64(st, 2, r.f231);
    sqlite3_bind_int64(st, 3, r.f232);
    sqlite3_bind_int(st, 4, r.f233);
    sqlite3_bind_int(st, 5, r.f234);
    sqlite3_bind_int64(st, 6, r.f235);
    std::string t236 = fieldtext(r.f236, sizeof r.f236);
    std::string t237 = fieldtext(r.f237, sizeof r.f237);
    std::string t238 = fieldtext(r.f238, sizeof r.f238);
    bindtext(st, 7, t236.c_str());
    bindtext(st, 8, t237.c_str());
    bindtext(st, 9, t238.c_str());
    sqlite3_bind_int(st, 10, r.f239);
    sqlite3_bind_int(st, 11, r.f240);
    int rc = step(ST_SOE, "soe");
    return rc == DB_OK && sqlite3_changes(db_) == 0 ? DB_DUP : rc;
}

int sqlitedb::putctrltag(const std::string& name, bool add) {
    if (!db_) return fail(SQLITE_MISUSE, "ctrltags");
    int which = add ? ST_CTRLADD : ST_CTRLDEL;
    bindtext(st_[which], 1, name.c_str());
    return step(which, "ctrltags");
}

int sqlitedb::pendingctrl(std::vector<ctrlrow>* out, size_t max) {
    if (!db_) return fail(SQLITE_MISUSE, "ctrlwrites");
    sqlite3_stmt* st = st_[ST_PENDING];
    sqlite3_bind_int64(st, 1, static_cast<int64_t>(max));
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        ctrlrow r;
        r.id = sqlite3_column_int64(st, 0);
        const unsigned char* n = sqlite3_column_text(st, 1);
        if (n) r.tag.name.assign(reinterpret_cast<const char*>(n), sqlite3_column_bytes(st, 1));
        r.tag.time = sqlite3_column_int64(st, 2);
        r.tag.quality = sqlite3_column_int(st, 3);
        r.tag.type = sqlite3_column_int(st, 4);
        readvalue(st, 5, &r.tag);
        out->push_back(std::move(r));
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return rc == SQLITE_DONE ? DB_OK : fail(rc, "ctrlwrites");
}

int sqlitedb::markctrl(int64_t id, int state) {
    if (!db_) return fail(SQLITE_MISUSE, "ctrlwrites");
    sqlite3_bind_int64(st_[ST_MARK], 1, id);
    sqlite3_bind_int(st_[ST_MARK], 2, state);
    return step(ST_MARK, "ctrlwrites");
}

bool sqlitedb::changed() {
    if (!db_) return false;
    sqlite3_stmt* st = st_[ST_VERSION];
    int64_t v = -2;
    if (sqlite3_step(st) == SQLITE_ROW) v = sqlite3_column_int64(st, 0);
    sqlite3_reset(st);
    bool c = v != version_ || v == -2;
    version_ = v;
    return c;
}

int sqlitedb::check() {
    if (!db_) {
        err_ = "database not open";
        return DB_LOST;
    }
    // SQLite keeps writing into a file that was unlinked; nobody would ever
    // see those rows, so a vanished or replaced file counts as lost.
    struct stat sb;
    if (::stat(path_.c_str(), &sb) != 0 || sb.st_dev != dev_ || sb.st_ino != ino_) {
        err_ = "database file was removed or replaced (" + path_ + ")";
        return DB_LOST;
    }
    return DB_OK;
}

void readvalue(sqlite3_stmt* st, int col, tagrow* row) {
    switch (sqlite3_column_type(st, col)) {
        case SQLITE_INTEGER:
            row->kind = VAL_INT;
            row->i = sqlite3_column_int64(st, col);
            break;
        case SQLITE_FLOAT:
            row->kind = VAL_REAL;
            row->d = sqlite3_column_double(st, col);
            break;
        case SQLITE_TEXT: {
            row->kind = VAL_TEXT;
            const unsigned char* p = sqlite3_column_text(st, col);
            row->bytes.assign(reinterpret_cast<const char*>(p), sqlite3_column_bytes(st, col));
            break;
        }
        case SQLITE_BLOB: {
            row->kind = VAL_BLOB;
            const void* p = sqlite3_column_blob(st, col);
            int n = sqlite3_column_bytes(st, col);
            row->bytes.assign(p ? static_cast<const char*>(p) : "", n);
            break;
        }
        default:
            row->kind = VAL_NULL;
    }
}

}  // namespace oxa
