#include "agent/sqlaccess.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <unordered_map>

#include "agent/support/slog.h"

sqlite3* g_db = nullptr;  // written by ensure_database (main thread) before other threads start
std::mutex sqlite_lock;

namespace {

const int kBusyTimeoutMs = 1100;  // a one-shot command in another process may hold the file
const char kDbFileName[] = "./data.db";
const char kPragmas[] = "PRAGMA journal_mode=WAL;PRAGMA cache_size = 8000;";
const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS T_BLOCK(ID INTEGER PRIMARY KEY AUTOINCREMENT,DEVNO  INTEGER NOT "
    "NULL,OFFSET  INTEGER NOT NULL,SIZE INTEGER NOT NULL,ACK INTEGER  NOT NULL,HASH TEXT NOT "
    "NULL,REMOTE_ID TEXT NOT NULL);CREATE INDEX S1 ON T_BLOCK (DEVNO, OFFSET, SIZE, "
    "REMOTE_ID);CREATE INDEX S2 ON T_BLOCK (ACK, DEVNO, REMOTE_ID);";

// Prepared statements of g_db keyed by their text; guarded by sqlite_lock.
// Only constant texts are prepared, so the map stays a dozen entries long.
std::unordered_map<std::string, sqlite3_stmt*>& stmt_cache() {
  static std::unordered_map<std::string, sqlite3_stmt*> cache;  // guarded by sqlite_lock
  return cache;
}

int run_sql(sqlite3* Db, const char* Sql, sqlite3_callback Cbfun, void* data) {
  sqlite3_busy_timeout(Db, kBusyTimeoutMs);
  char* err = nullptr;
  int rc = sqlite3_exec(Db, Sql, Cbfun, data, &err);
  if (rc != SQLITE_OK) {
    sqlite3_free(err);
    return -1;
  }
  return 0;
}

}  // namespace

int API_Open_Sqlite(sqlite3** Db, const char* DbFileName) {
  if (!DbFileName || !Db) {
    printf("input param is invaild.");
    return -1;
  }
  if (*Db) return -1;
  int rc = sqlite3_open(DbFileName, Db);
  if (rc != SQLITE_OK) {
    printf("open %s db fail, iret is %d.\n", DbFileName, rc);
    // A failed open may still allocate a handle; it is unusable, so drop it.
    sqlite3_close(*Db);
    *Db = nullptr;
    return -1;
  }
  internal_sql_exec(*Db, kPragmas);
  return 0;
}

int ensure_database(const char* path) {
  // No fixed-size buffer: any directory the executable can live in fits.
  std::string name = path ? path : "";
  name += kDbFileName;
  if (API_Open_Sqlite(&g_db, name.c_str()) != 0) {
    log_info("ensure_database open sqlite error");
    return -1;
  }
  return 0;
}

int API_Create_Sqlite_Table(sqlite3* Db, const char* Sql) {
  if (!Db || !Sql) return -1;
  return run_sql(Db, Sql, nullptr, nullptr);
}

int internal_sql_exec(sqlite3* Db, const char* Sql) {
  if (!Db || !Sql) return -1;
  return run_sql(Db, Sql, nullptr, nullptr);
}

int internal_sql_select(sqlite3* Db, const char* Sql, sqlite3_callback Cbfun, void* data) {
  if (!Db || !Sql || !data) return -1;
  return run_sql(Db, Sql, Cbfun, data);
}

int create_database_if_not_exist() {
  int rc;
  {
    std::lock_guard<std::mutex> guard(sqlite_lock);
    rc = API_Create_Sqlite_Table(g_db, kSchema);
  }
  if (rc != 0) {
    log_info("ensure_database  create table error");
    return -1;
  }
  return 0;
}

int sql_exec(const char* sql) {
  std::lock_guard<std::mutex> guard(sqlite_lock);
  internal_sql_exec(g_db, sql);
  if (!g_db) return 0;
  return static_cast<int>(sqlite3_last_insert_rowid(g_db));
}

int sql_select(const char* sql, sqlite3_callback Cbfun, void* data) {
  return internal_sql_select(g_db, sql, Cbfun, data);
}

int sql_save() {
  std::lock_guard<std::mutex> guard(sqlite_lock);
  if (g_db) sqlite3_db_cacheflush(g_db);
  return 0;
}

sqlite3_stmt* ledger_stmt(const char* sql) {
  if (!g_db || !sql) return nullptr;
  sqlite3_busy_timeout(g_db, kBusyTimeoutMs);
  auto& cache = stmt_cache();
  auto it = cache.find(sql);
  if (it != cache.end()) return it->second;
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(g_db, sql, -1, &st, nullptr);
  if (rc != SQLITE_OK || !st) {
    // Not cached: a missing table may be created later in the run.
    log_info("ledger statement not prepared: %s", sqlite3_errmsg(g_db));
    sqlite3_finalize(st);
    return nullptr;
  }
  cache.emplace(sql, st);
  return st;
}

void close_database() {
  std::lock_guard<std::mutex> guard(sqlite_lock);
  for (auto& entry : stmt_cache()) sqlite3_finalize(entry.second);
  stmt_cache().clear();
  if (g_db) sqlite3_close(g_db);
  g_db = nullptr;
}
