// The ledger store: the one SQLite connection `g_db` to "<exe dir>./data.db"
// (WAL, 8000-page cache, 1100 ms busy timeout) and its schema. Statements are
// prepared once and bound (ledger.h); sqlite_lock serialises their use.
#pragma once

#include <sqlite3.h>

#include <mutex>

extern sqlite3* g_db;          // opened once at start-up, never closed
extern std::mutex sqlite_lock;  // leaf lock: held around each statement and the cache flush

int ensure_database(const char* path);
int API_Open_Sqlite(sqlite3** Db, const char* DbFileName);
int create_database_if_not_exist();
int API_Create_Sqlite_Table(sqlite3* Db, const char* Sql);
int internal_sql_exec(sqlite3* Db, const char* Sql);
int internal_sql_select(sqlite3* Db, const char* Sql, sqlite3_callback Cbfun, void* data);
int sql_select(const char* sql, sqlite3_callback Cbfun, void* data);
int sql_save();
