#include "agent/ledger.h"

#include <stdint.h>
#include <string.h>

#include "agent/agent_state.h"
#include "agent/sqlaccess.h"
#include "agent/support/slog.h"

namespace {

// The newest row of this server at the position, and whether any of its rows
// there is acknowledged.
const char kNewestAtPosition[] =
    "SELECT ACK, HASH, EXISTS (SELECT 1 FROM T_BLOCK WHERE DEVNO=?1 AND OFFSET=?2 AND SIZE=?3 "
    "AND ACK=1 AND REMOTE_ID=?4) FROM T_BLOCK WHERE DEVNO=?1 AND OFFSET=?2 AND SIZE=?3 AND "
    "REMOTE_ID=?4 ORDER BY ID DESC LIMIT 1";
const char kInsert[] =
    "INSERT INTO T_BLOCK (DEVNO, OFFSET, SIZE, ACK, HASH, REMOTE_ID) VALUES (?1, ?2, ?3, 0, ?4, "
    "?5)";
const char kDeleteRowid[] = "DELETE FROM T_BLOCK WHERE ID=?1";
const char kAck[] =
    "UPDATE T_BLOCK SET ACK=1 WHERE DEVNO=?1 AND OFFSET=?2 AND SIZE=?3 AND REMOTE_ID=?4";
const char kUnackOnDevice[] =
    "SELECT ID, OFFSET, SIZE FROM T_BLOCK WHERE ACK=0 AND DEVNO=?1 AND REMOTE_ID=?2";
const char kSentSum[] = "SELECT SUM(SIZE) FROM T_BLOCK WHERE ACK=1";
const char kUnackSum[] = "SELECT SUM(SIZE) FROM T_BLOCK WHERE ACK=0";
const char kDeleteOthers[] = "DELETE FROM T_BLOCK WHERE REMOTE_ID!=?1";
const char kDeleteAll[] = "DELETE FROM T_BLOCK";
// Every row of this server at a position where one of its rows is unacknowledged.
const char kForgetUnacked[] =
    "DELETE FROM T_BLOCK WHERE REMOTE_ID=?1 AND EXISTS (SELECT 1 FROM T_BLOCK AS u WHERE u.ACK=0 "
    "AND u.REMOTE_ID=?1 AND u.DEVNO=T_BLOCK.DEVNO AND u.OFFSET=T_BLOCK.OFFSET AND "
    "u.SIZE=T_BLOCK.SIZE)";
const char kHasTable[] = "SELECT 1 FROM sqlite_master WHERE type='table' AND name='T_BLOCK'";

// Holds sqlite_lock and one cached statement; resets and unbinds it on the
// way out so the next user finds it clean.
class stmt_use_t {
 public:
  explicit stmt_use_t(const char* sql) : guard_(sqlite_lock), st_(ledger_stmt(sql)) {}
  ~stmt_use_t() {
    if (st_) {
      sqlite3_reset(st_);
      sqlite3_clear_bindings(st_);
    }
  }
  stmt_use_t(const stmt_use_t&) = delete;
  stmt_use_t& operator=(const stmt_use_t&) = delete;

  sqlite3_stmt* get() const { return st_; }
  bool bind_int(int i, int64_t v) { return sqlite3_bind_int64(st_, i, v) == SQLITE_OK; }
  bool bind_text(int i, const char* v) {
    // A null text binds NULL, which matches no row.
    return sqlite3_bind_text(st_, i, v, -1, SQLITE_TRANSIENT) == SQLITE_OK;
  }
  // SQLITE_ROW, SQLITE_DONE or -1; a failure's cause is logged.
  int step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
    log_info("ledger statement failed: %s", sqlite3_errmsg(g_db));
    return -1;
  }
  // Runs a statement that returns no rows. 0 or -1.
  int run() { return step() == SQLITE_DONE ? 0 : -1; }

 private:
  std::lock_guard<std::mutex> guard_;
  sqlite3_stmt* st_;
};

bool bind_position(stmt_use_t& s, int devno, int64_t offset, int size, const char* server) {
  return s.bind_int(1, devno) && s.bind_int(2, offset) && s.bind_int(3, size) &&
         s.bind_text(4, server);
}

// One SUM(SIZE) query; NULL (no matching row) counts 0.
int64_t size_sum(const char* sql) {
  stmt_use_t s(sql);
  if (!s.get() || s.step() != SQLITE_ROW) return -1;
  return sqlite3_column_int64(s.get(), 0);
}

int run_with_server(const char* sql, const char* server) {
  stmt_use_t s(sql);
  if (!s.get() || !s.bind_text(1, server)) return -1;
  return s.run();
}

}  // namespace

int block_is_sent_and_ack(int devno, int64_t offset, int size, const char* hash) {
  if (!hash) return -1;
  stmt_use_t s(kNewestAtPosition);
  if (!s.get() || !bind_position(s, devno, offset, size, remote_ip)) return -1;
  int rc = s.step();
  if (rc < 0) return -1;
  if (rc != SQLITE_ROW) return 0;  // never sent to this server
  bool acked_exists = sqlite3_column_int64(s.get(), 2) != 0;
  if (!acked_exists) return 0;

  // An older acknowledged copy says nothing about what the server holds now:
  // only the newest row at the position does (A -> B -> A, or B never acked).
  bool newest_acked = sqlite3_column_int64(s.get(), 0) == 1;
  const unsigned char* newest_hash = sqlite3_column_text(s.get(), 1);
  bool same_hash = newest_hash && strcmp(reinterpret_cast<const char*>(newest_hash), hash) == 0;
  return newest_acked && same_hash ? 1 : 2;
}

int insert_block_row(int devno, int64_t offset, int size, const char* hash, int* id) {
  if (!hash || !id) return -1;
  stmt_use_t s(kInsert);
  if (!s.get() || !s.bind_int(1, devno) || !s.bind_int(2, offset) || !s.bind_int(3, size) ||
      !s.bind_text(4, hash) || !s.bind_text(5, remote_ip))
    return -1;
  if (s.run() != 0) return -1;
  // Read under the same lock hold, so the id is this INSERT's own.
  sqlite3_int64 rowid = sqlite3_last_insert_rowid(g_db);
  if (rowid > INT32_MAX) {
    // Block ids travel as 32-bit integers; a wrapped id would name another block.
    log_info("ledger row id %lld does not fit a block id", static_cast<long long>(rowid));
    sqlite3_stmt* del = ledger_stmt(kDeleteRowid);
    if (del) {
      sqlite3_bind_int64(del, 1, rowid);
      sqlite3_step(del);
      sqlite3_reset(del);
      sqlite3_clear_bindings(del);
    }
    return -1;
  }
  *id = static_cast<int>(rowid);
  return 0;
}

int ack_block_rows(int devno, int64_t offset, int size) {
  stmt_use_t s(kAck);
  if (!s.get() || !bind_position(s, devno, offset, size, remote_ip)) return -1;
  return s.run();
}

std::vector<std::tuple<int64_t, int64_t, int64_t>> get_unack_block(int devno,
                                                                     const char* remote_ip) {
  std::vector<std::tuple<int64_t, int64_t, int64_t>> rows;
  stmt_use_t s(kUnackOnDevice);
  int rc = -1;
  if (s.get() && s.bind_int(1, devno) && s.bind_text(2, remote_ip)) {
    while ((rc = s.step()) == SQLITE_ROW) {
      int64_t id = sqlite3_column_int64(s.get(), 0);
      int64_t offset = sqlite3_column_int64(s.get(), 1);
      int64_t size = sqlite3_column_int64(s.get(), 2);
      rows.emplace_back(size, offset, id);
    }
  }
  if (rc != SQLITE_DONE) {
    log_info("count_unack_block error");
    rows.clear();
  }
  return rows;
}

int64_t get_sent_block_size() {
  int64_t sum = size_sum(kSentSum);
  if (sum < 0) {
    log_info("get_sent_block_size error");
    return -1;
  }
  return sum;
}

int64_t count_unack_block() {
  int64_t sum = size_sum(kUnackSum);
  if (sum < 0) {
    log_info("count_unack_block error");
    return -1;
  }
  return sum;
}

int delete_other_servers_rows(const char* remote_ip) {
  return run_with_server(kDeleteOthers, remote_ip);
}

int delete_all_rows() {
  stmt_use_t s(kDeleteAll);
  if (!s.get()) return -1;
  return s.run();
}

int forget_unacked_positions(const char* remote_ip) {
  return run_with_server(kForgetUnacked, remote_ip);
}

int ledger_has_table() {
  stmt_use_t s(kHasTable);
  if (!s.get()) return -1;
  int rc = s.step();
  if (rc < 0) return -1;
  return rc == SQLITE_ROW ? 1 : 0;
}
