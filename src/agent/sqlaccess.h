// The ledger store: the one SQLite connection `g_db` to "<exe dir>./data.db"
// (WAL, 8000-page cache, 1100 ms busy timeout) and its schema. Statements are
// prepared once and bound (ledger.h); sqlite_lock serialises their use.
// Opened by the main thread at start-up; then used by the loop and the worker.
#pragma once

#include <sqlite3.h>

#include <mutex>

extern sqlite3* g_db;           // opened once at start-up by the main thread, never closed
extern std::mutex sqlite_lock;  // leaf lock: held around each statement and the cache flush

// Opens "<path>./data.db" into g_db (`path` ends in "/"). 0, or -1 after
// logging "ensure_database open sqlite error".
int ensure_database(const char* path);

// Opens `DbFileName` into *Db and switches it to WAL with an 8000-page cache.
// -1 when the name is null, *Db is already set or SQLite cannot open it
// (*Db is then left null).
int API_Open_Sqlite(sqlite3** Db, const char* DbFileName);

// Creates T_BLOCK and its indexes S1, S2. On a ledger that already has them the
// index statements fail: -1 and "ensure_database  create table error" logged.
int create_database_if_not_exist();

// Run `Sql` (one or more statements, no callback). 0 or -1; null handle or
// text gives -1 without touching SQLite.
int API_Create_Sqlite_Table(sqlite3* Db, const char* Sql);
int internal_sql_exec(sqlite3* Db, const char* Sql);
// As above, calling `Cbfun(data, ...)` per result row; `data` must not be null.
int internal_sql_select(sqlite3* Db, const char* Sql, sqlite3_callback Cbfun, void* data);

// Constant statement text only: values always go through ledger.h's bound
// statements. Under sqlite_lock runs `sql` on g_db and returns the last
// inserted row id of the connection (not whether `sql` succeeded).
int sql_exec(const char* sql);
// internal_sql_select on g_db (constant text only).
int sql_select(const char* sql, sqlite3_callback Cbfun, void* data);

// Writes the connection's dirty cache pages to the file. Always 0.
int sql_save();

// The cached prepared statement for constant text `sql` on g_db, reset and
// unbound, or null when it cannot be prepared (the cause is logged). The
// caller must hold sqlite_lock from this call until it has reset the statement.
sqlite3_stmt* ledger_stmt(const char* sql);

// Finalises the cached statements and closes g_db (tests and tools; the agent
// itself keeps the connection until it exits).
void close_database();
