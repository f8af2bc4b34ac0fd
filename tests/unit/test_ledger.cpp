#include "agent/ledger.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "agent/agent_state.h"
#include "agent/sqlaccess.h"
#include "agent/support/slog.h"
#include "test_files.h"

namespace {

const int kBlock = 8388608;

// The log of this test process (the ledger logs its errors there).
std::string log_dir() {
  static std::string dir;
  if (dir.empty()) {
    char tmpl[] = "/tmp/bf_ledger_log_XXXXXX";
    if (!mkdtemp(tmpl) || init_logger(tmpl, 2) != 1) abort();
    dir = tmpl;
  }
  return dir;
}

std::string log_text() { return read_file(slog_file_path()); }

class RemoveLogDir : public ::testing::Environment {
 public:
  void TearDown() override {
    std::string cmd = "rm -rf '" + log_dir() + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove the test log directory\n");
  }
};
const ::testing::Environment* const kEnv = ::testing::AddGlobalTestEnvironment(new RemoveLogDir);

// Owns a temporary executable directory with a fresh data.db opened in g_db,
// schema created; remote_ip is this run's server.
class Ledger : public ::testing::Test {
 protected:
  void SetUp() override {
    log_dir();
    char tmpl[] = "/tmp/bf_ledger_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = std::string(tmpl) + "/";
    ASSERT_EQ(0, ensure_database(dir_.c_str()));
    remote_ip = kServer;
  }
  void TearDown() override {
    close_database();
    remote_ip = nullptr;
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
  }
  void create_schema() { ASSERT_EQ(0, create_database_if_not_exist()); }

  // Text result of a one-value query on g_db ("" for none or NULL).
  std::string scalar(const std::string& sql) {
    std::string out;
    auto cb = [](void* ctx, int, char** values, char**) -> int {
      *static_cast<std::string*>(ctx) = values[0] ? values[0] : "";
      return 0;
    };
    EXPECT_EQ(0, sql_select(sql.c_str(), cb, &out)) << sql;
    return out;
  }
  int insert(int devno, int64_t offset, int size, const char* hash) {
    int id = -7;
    EXPECT_EQ(0, insert_block_row(devno, offset, size, hash, &id));
    return id;
  }

  static constexpr const char* kServer = "10.0.0.5";
  std::string dir_;
};

}  // namespace

TEST_F(Ledger, NewFileGetsTableAndIndexes) {
  size_t log_before = log_text().size();
  create_schema();
  EXPECT_EQ("T_BLOCK", scalar("SELECT name FROM sqlite_master WHERE type='table' AND name='T_BLOCK'"));
  EXPECT_EQ("DEVNO,OFFSET,SIZE,REMOTE_ID",
            scalar("SELECT group_concat(name) FROM (SELECT name FROM pragma_index_info('S1') "
                   "ORDER BY seqno)"));
  EXPECT_EQ("ACK,DEVNO,REMOTE_ID",
            scalar("SELECT group_concat(name) FROM (SELECT name FROM pragma_index_info('S2') "
                   "ORDER BY seqno)"));
  EXPECT_EQ("wal", scalar("PRAGMA journal_mode"));
  EXPECT_EQ("8000", scalar("PRAGMA cache_size"));
  EXPECT_EQ(std::string::npos, log_text().find("create table error", log_before));
  EXPECT_EQ(0, access((dir_ + "data.db").c_str(), F_OK));
}

TEST_F(Ledger, SecondStartLogsCreateErrorAndKeepsRows) {
  create_schema();
  int id = insert(0, 0, kBlock, "11");
  close_database();
  ASSERT_EQ(0, ensure_database(dir_.c_str()));
  size_t log_before = log_text().size();
  EXPECT_EQ(-1, create_database_if_not_exist());
  EXPECT_NE(std::string::npos,
            log_text().find("create_database_if_not_exist:", log_before));
  EXPECT_NE(std::string::npos, log_text().find("-| ensure_database  create table error\n", log_before));
  EXPECT_EQ("1", scalar("SELECT count(*) FROM T_BLOCK"));
  EXPECT_EQ(std::to_string(id), scalar("SELECT ID FROM T_BLOCK"));
  EXPECT_EQ("2", scalar("SELECT count(*) FROM sqlite_master WHERE type='index' AND name IN ('S1','S2')"));
}

TEST_F(Ledger, OpenRefusesASecondHandleAndANullName) {
  sqlite3* same = g_db;
  EXPECT_EQ(-1, API_Open_Sqlite(&g_db, (dir_ + "other.db").c_str()));
  EXPECT_EQ(same, g_db);
  sqlite3* fresh = nullptr;
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, API_Open_Sqlite(&fresh, nullptr));
  fflush(stdout);
  EXPECT_EQ("input param is invaild.", testing::internal::GetCapturedStdout());
}

TEST_F(Ledger, OpenFailureIsReportedAndLeavesNoHandle) {
  close_database();
  std::string missing = dir_ + "no/such/dir/";
  size_t log_before = log_text().size();
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, ensure_database(missing.c_str()));
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("open " + missing + "./data.db db fail, iret is 14.\n", out);
  EXPECT_EQ(nullptr, g_db);
  EXPECT_NE(std::string::npos, log_text().find("ensure_database open sqlite error", log_before));
  // Every query now fails instead of crashing.
  EXPECT_EQ(-1, block_is_sent_and_ack(0, 0, kBlock, "1"));
  EXPECT_EQ(-1, get_sent_block_size());
  EXPECT_EQ(0, sql_save());
}

TEST_F(Ledger, DuplicateCheckJudgesTheNewestRow) {
  // Steps at device 1, offset 8 MiB, one block: "+H" inserts a row with hash H
  // for this server, "+H@other" for another server, "ack" acknowledges the
  // position for this server; then the block with hash `query` is checked.
  struct {
    const char* name;
    std::vector<std::string> steps;
    const char* query;
    int expected;
  } cases[] = {
      {"never sent", {}, "A", 0},
      {"sent, never acknowledged", {"+A"}, "A", 0},
      {"acknowledged, same content", {"+A", "ack"}, "A", 1},
      {"acknowledged, other content", {"+A", "ack"}, "B", 2},
      {"A then B acknowledged, A again", {"+A", "ack", "+B", "ack"}, "A", 2},
      {"A then B acknowledged, B again", {"+A", "ack", "+B", "ack"}, "B", 1},
      {"A acknowledged, B sent and lost, A again", {"+A", "ack", "+B"}, "A", 2},
      {"A acknowledged, B sent and lost, B again", {"+A", "ack", "+B"}, "B", 2},
      {"acknowledged by another server only", {"+A@other", "ack@other"}, "A", 0},
  };
  create_schema();
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(0, delete_all_rows());
    for (const std::string& step : c.steps) {
      bool other = step.find("@other") != std::string::npos;
      remote_ip = other ? "10.0.0.6" : kServer;
      if (step[0] == '+')
        insert(1, kBlock, kBlock, step.substr(1, 1).c_str());
      else
        ASSERT_EQ(0, ack_block_rows(1, kBlock, kBlock));
    }
    remote_ip = kServer;
    EXPECT_EQ(c.expected, block_is_sent_and_ack(1, kBlock, kBlock, c.query));
    // Another size or offset is another position.
    EXPECT_EQ(0, block_is_sent_and_ack(1, kBlock, 4096, c.query));
    EXPECT_EQ(0, block_is_sent_and_ack(1, 2 * kBlock, kBlock, c.query));
  }
}

TEST_F(Ledger, FailedQueriesReportMinusOne) {
  // No schema: the file a one-shot command leaves behind.
  int id = 42;
  EXPECT_EQ(-1, block_is_sent_and_ack(0, 0, kBlock, "1"));
  EXPECT_EQ(-1, insert_block_row(0, 0, kBlock, "1", &id));
  EXPECT_EQ(42, id);
  EXPECT_EQ(-1, ack_block_rows(0, 0, kBlock));
  EXPECT_EQ(-1, delete_all_rows());
  EXPECT_EQ(0, ledger_has_table());
}

TEST_F(Ledger, FailedInsertLeavesIdUntouched) {
  create_schema();
  int first = insert(0, 0, kBlock, "1");
  EXPECT_GT(first, 0);
  EXPECT_EQ(first + 1, insert(0, kBlock, kBlock, "2"));
  sql_exec("DROP TABLE T_BLOCK");
  ASSERT_EQ(0, ledger_has_table());
  int id = 42;
  EXPECT_EQ(-1, insert_block_row(0, 2 * kBlock, kBlock, "3", &id));
  EXPECT_EQ(42, id);
}

TEST_F(Ledger, SumsOnEmptyMissingAndFilledTables) {
  size_t log_before = log_text().size();
  EXPECT_EQ(-1, get_sent_block_size());
  EXPECT_EQ(-1, count_unack_block());
  std::string log = log_text().substr(log_before);
  EXPECT_NE(std::string::npos, log.find("get_sent_block_size:"));
  EXPECT_NE(std::string::npos, log.find("-| get_sent_block_size error\n"));
  EXPECT_NE(std::string::npos, log.find("count_unack_block:"));
  EXPECT_NE(std::string::npos, log.find("-| count_unack_block error\n"));

  create_schema();
  EXPECT_EQ(0, get_sent_block_size());
  EXPECT_EQ(0, count_unack_block());

  insert(0, 0, kBlock, "1");
  insert(0, kBlock, 4096, "2");
  insert(1, 0, kBlock, "3");
  ASSERT_EQ(0, ack_block_rows(0, 0, kBlock));
  remote_ip = "10.0.0.6";  // the sums count every server's rows
  insert(2, 0, 512, "4");
  ASSERT_EQ(0, ack_block_rows(2, 0, 512));
  insert(2, 512, 100, "5");
  EXPECT_EQ(int64_t{kBlock} + 512, get_sent_block_size());
  EXPECT_EQ(int64_t{4096} + kBlock + 100, count_unack_block());
}

TEST_F(Ledger, AcknowledgementFlipsEveryRowOfThisServerAtThePosition) {
  create_schema();
  insert(3, kBlock, kBlock, "1");
  insert(3, kBlock, kBlock, "2");  // a second copy at the same position
  insert(3, 0, kBlock, "3");       // another position
  insert(3, kBlock, 4096, "4");    // another size
  remote_ip = "10.0.0.6";
  insert(3, kBlock, kBlock, "5");  // another server
  remote_ip = kServer;
  ASSERT_EQ(0, ack_block_rows(3, kBlock, kBlock));
  EXPECT_EQ("1,1,0,0,0", scalar("SELECT group_concat(ACK) FROM (SELECT ACK FROM T_BLOCK ORDER BY ID)"));
}

TEST_F(Ledger, UnackedRowsOfADevice) {
  size_t log_before = log_text().size();
  EXPECT_TRUE(get_unack_block(0, kServer).empty());  // no table
  EXPECT_NE(std::string::npos, log_text().find("get_unack_block:", log_before));
  EXPECT_NE(std::string::npos, log_text().find("-| count_unack_block error", log_before));

  create_schema();
  log_before = log_text().size();
  EXPECT_TRUE(get_unack_block(0, kServer).empty());
  EXPECT_EQ(log_before, log_text().size());  // nothing to report

  int a = insert(0, 0, kBlock, "1");
  int b = insert(0, 3 * int64_t{kBlock}, 4096, "2");
  insert(0, kBlock, kBlock, "3");
  ASSERT_EQ(0, ack_block_rows(0, kBlock, kBlock));
  insert(1, 0, kBlock, "4");  // another device
  remote_ip = "10.0.0.6";
  insert(0, 5 * int64_t{kBlock}, kBlock, "5");  // another server
  auto rows = get_unack_block(0, kServer);
  std::set<std::tuple<int64_t, int64_t, int64_t>> got(rows.begin(), rows.end());
  std::set<std::tuple<int64_t, int64_t, int64_t>> want = {
      {kBlock, 0, a}, {4096, 3 * int64_t{kBlock}, b}};
  EXPECT_EQ(want, got);
  EXPECT_EQ(2u, rows.size());
}

TEST_F(Ledger, ForgetUnackedPositions) {
  create_schema();
  insert(0, 0, kBlock, "A");  // position 0: A acknowledged, then B lost
  ASSERT_EQ(0, ack_block_rows(0, 0, kBlock));
  insert(0, 0, kBlock, "B");
  insert(0, kBlock, kBlock, "C");  // position 1: acknowledged only
  ASSERT_EQ(0, ack_block_rows(0, kBlock, kBlock));
  insert(0, 2 * int64_t{kBlock}, kBlock, "D");  // position 2: lost only
  remote_ip = "10.0.0.6";
  insert(0, 0, kBlock, "E");  // another server's lost row at position 0
  remote_ip = kServer;

  ASSERT_EQ(0, forget_unacked_positions(kServer));
  EXPECT_EQ("C,E", scalar("SELECT group_concat(HASH) FROM (SELECT HASH FROM T_BLOCK ORDER BY ID)"));
  // The block at position 0 is sent again, and nothing is left to wait for.
  EXPECT_EQ(0, block_is_sent_and_ack(0, 0, kBlock, "A"));
  EXPECT_EQ(1, block_is_sent_and_ack(0, kBlock, kBlock, "C"));
  ASSERT_EQ(0, delete_other_servers_rows(kServer));
  EXPECT_EQ(0, count_unack_block());
}

TEST_F(Ledger, DeleteOtherServersAndDeleteAll) {
  create_schema();
  insert(0, 0, kBlock, "1");
  remote_ip = "10.0.0.6";
  insert(0, 0, kBlock, "2");
  remote_ip = "::1";
  insert(0, 0, kBlock, "3");
  ASSERT_EQ(0, delete_other_servers_rows(kServer));
  EXPECT_EQ(kServer, scalar("SELECT group_concat(REMOTE_ID) FROM T_BLOCK"));
  ASSERT_EQ(0, delete_all_rows());
  EXPECT_EQ("0", scalar("SELECT count(*) FROM T_BLOCK"));
}

TEST_F(Ledger, AddressWithQuotesIsStoredAndMatchedVerbatim) {
  create_schema();
  const char* hostile = "10.0.0.5' OR '1'='1";
  remote_ip = kServer;
  insert(0, 0, kBlock, "plain");
  remote_ip = hostile;
  int id = insert(0, 0, kBlock, "quoted");
  EXPECT_EQ(0, block_is_sent_and_ack(0, 0, kBlock, "quoted"));
  ASSERT_EQ(0, ack_block_rows(0, 0, kBlock));
  EXPECT_EQ(1, block_is_sent_and_ack(0, 0, kBlock, "quoted"));
  EXPECT_EQ(hostile, scalar("SELECT REMOTE_ID FROM T_BLOCK WHERE ID=" + std::to_string(id)));
  remote_ip = kServer;
  EXPECT_EQ(0, block_is_sent_and_ack(0, 0, kBlock, "plain"));  // its row was not flipped

  ASSERT_EQ(0, delete_other_servers_rows("x'); DROP TABLE T_BLOCK; --"));
  EXPECT_EQ(1, ledger_has_table());
  EXPECT_EQ("0", scalar("SELECT count(*) FROM T_BLOCK"));
  remote_ip = hostile;
  insert(0, 0, kBlock, "again");
  ASSERT_EQ(0, delete_other_servers_rows(hostile));
  EXPECT_EQ("1", scalar("SELECT count(*) FROM T_BLOCK"));
  EXPECT_EQ(0, forget_unacked_positions(hostile));
  EXPECT_EQ("0", scalar("SELECT count(*) FROM T_BLOCK"));
}

TEST_F(Ledger, SqlExecReturnsTheLastInsertedId) {
  create_schema();
  int id = insert(0, 0, kBlock, "1");
  EXPECT_EQ(id, sql_exec("UPDATE T_BLOCK SET ACK=1"));
  EXPECT_EQ(id, sql_exec(nullptr));
  int out = 0;
  EXPECT_EQ(-1, sql_select(nullptr, nullptr, &out));
}

TEST_F(Ledger, ConcurrentInsertsEachGetTheirOwnId) {
  create_schema();
  const int kThreads = 3, kRows = 200;
  std::vector<std::vector<int>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t, &ids] {
      for (int i = 0; i < kRows; i++) {
        int64_t offset = (int64_t{t} * kRows + i) * kBlock;
        std::string hash = std::to_string(offset);
        int id = -1;
        if (insert_block_row(t, offset, kBlock, hash.c_str(), &id) == 0) ids[t].push_back(id);
        block_is_sent_and_ack(t, offset, kBlock, hash.c_str());
        if (i % 2) ack_block_rows(t, offset, kBlock);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; t++) {
    ASSERT_EQ(size_t{kRows}, ids[t].size());
    for (int i = 0; i < kRows; i++) {
      int64_t offset = (int64_t{t} * kRows + i) * kBlock;
      EXPECT_EQ(std::to_string(offset),
                scalar("SELECT HASH FROM T_BLOCK WHERE ID=" + std::to_string(ids[t][i])));
    }
  }
  EXPECT_EQ(int64_t{kThreads} * kRows / 2 * kBlock, count_unack_block());
}
