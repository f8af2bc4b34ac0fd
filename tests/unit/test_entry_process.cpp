// Runs the real agent executable as a child process: a copy of it in a
// temporary bin/ directory (so data.db and user.json sit beside it) with its
// working directory in run/ (where the dated log goes).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/agent_state.h"
#include "agent/entry.h"
#include "test_files.h"

extern char** environ;

namespace {

struct run_result_t {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Standard output without the disk inventory's own lines about disks it cannot
// open or measure ("open error: -1", "ioctl error "), which depend on the host.
std::string without_inventory_noise(const std::string& out) {
  std::istringstream in(out);
  std::string line, kept;
  while (std::getline(in, line)) {
    if (line.rfind("open error: ", 0) == 0 || line.rfind("ioctl error ", 0) == 0) continue;
    kept += line + "\n";
  }
  return kept;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Runs `sql` on the ledger file from the test's own connection; "" or the
// first column of the last row.
std::string db(const std::string& path, const std::string& sql) {
  sqlite3* h = nullptr;
  std::string out;
  EXPECT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &h));
  auto cb = [](void* ctx, int, char** v, char**) -> int {
    *static_cast<std::string*>(ctx) = v[0] ? v[0] : "";
    return 0;
  };
  char* err = nullptr;
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(h, sql.c_str(), cb, &out, &err)) << (err ? err : "");
  sqlite3_free(err);
  sqlite3_close(h);
  return out;
}

const char kSchema[] =
    "CREATE TABLE T_BLOCK(ID INTEGER PRIMARY KEY AUTOINCREMENT,DEVNO INTEGER NOT NULL,OFFSET "
    "INTEGER NOT NULL,SIZE INTEGER NOT NULL,ACK INTEGER NOT NULL,HASH TEXT NOT NULL,REMOTE_ID "
    "TEXT NOT NULL);";

class AgentProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bf_entry_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    base_ = tmpl;
    bin_ = base_ + "/bin";
    run_ = base_ + "/run";
    ASSERT_EQ(0, mkdir(bin_.c_str(), 0755));
    ASSERT_EQ(0, mkdir(run_.c_str(), 0755));
    exe_ = bin_ + "/blockferry";
    std::ifstream src(BF_AGENT_EXE, std::ios::binary);
    ASSERT_TRUE(src.good()) << BF_AGENT_EXE;
    {
      std::ofstream dst(exe_, std::ios::binary);
      dst << src.rdbuf();
    }
    ASSERT_EQ(0, chmod(exe_.c_str(), 0755));
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + base_ + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
  }

  std::string ledger() const { return bin_ + "/data.db"; }
  std::string log_path() const { return run_ + "/" + today() + ".log"; }
  void write_settings(const std::string& json) {
    std::ofstream(bin_ + "/user.json") << json;
  }

  run_result_t run(std::vector<std::string> args) {
    run_result_t r;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    posix_spawn_file_actions_addchdir_np(&fa, run_.c_str());
    std::vector<char*> argv = {const_cast<char*>(exe_.c_str())};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, exe_.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc == 0) {
      struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
      std::string* sinks[2] = {&r.out, &r.err};
      int open_fds = 2;
      time_t deadline = time(nullptr) + 30;  // a hung agent fails the test instead of the run
      while (open_fds > 0 && time(nullptr) < deadline) {
        if (poll(fds, 2, 1000) < 0) break;
        for (int i = 0; i < 2; i++) {
          if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
          char buf[4096];
          ssize_t n = read(fds[i].fd, buf, sizeof buf);
          if (n > 0) {
            sinks[i]->append(buf, static_cast<size_t>(n));
          } else {
            fds[i].fd = -1;
            open_fds--;
          }
        }
      }
      if (open_fds > 0) kill(pid, SIGKILL);
      int wstatus = 0;
      waitpid(pid, &wstatus, 0);
      if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
      r.out = without_inventory_noise(r.out);
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    return r;
  }

  std::string base_, bin_, run_, exe_;
};

}  // namespace

TEST_F(AgentProcess, NoArgumentCreatesLogAndLedgerThenExitsZero) {
  std::string before = today();
  run_result_t r = run({});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("need a ip or command\n", r.out);
  EXPECT_EQ("", r.err);
  std::string after = today();
  EXPECT_TRUE(exists(run_ + "/" + before + ".log") || exists(run_ + "/" + after + ".log"));
  EXPECT_TRUE(exists(ledger()));
  EXPECT_FALSE(exists(run_ + "/data.db"));
  // A one-shot command never creates the table.
  EXPECT_EQ("0", db(ledger(), "SELECT count(*) FROM sqlite_master WHERE name='T_BLOCK'"));
}

TEST_F(AgentProcess, OneShotCommandsOnAFreshLedger) {
  struct {
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;  // substring of standard error ("" for none at all)
  } cases[] = {
      {{"begin_session"}, 0, "", ""},
      {{"query"}, 0, "0\n", ""},
      {{"sentbytes"}, 0, "-1\n", ""},
      {{"end_session"}, 0, "", ""},
      {{"example.invalid"}, 1, "", "neither a command nor a literal IPv4 or IPv6"},
      {{"Check"}, 1, "", "neither a command"},
      {{"10.0.0.5'"}, 1, "", "neither a command"},
      {{"fe80::zz", "incremental"}, 1, "", "neither a command"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    unlink(ledger().c_str());
    run_result_t r = run(c.args);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.out, r.out);
    if (*c.err)
      EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    else
      EXPECT_EQ("", r.err);
  }
  EXPECT_NE(std::string::npos, read_file(log_path()).find("-| end session done\n"));
  EXPECT_NE(std::string::npos, read_file(log_path()).find("-| get_sent_block_size error\n"));
}

// With snapshots skipped nothing is built or loaded: the checks pass at once
// and the size commands print numbers only.
TEST_F(AgentProcess, CommandsSucceedWithSnapshotsSkipped) {
  write_settings(R"({"allow_skip_snap": true})");
  for (const char* word : {"check", "env_check", "query_disk_size", "query_disk_total_bytes"}) {
    SCOPED_TRACE(word);
    run_result_t r = run({word});
    EXPECT_EQ(0, r.status) << r.err;
    for (char ch : r.out) EXPECT_TRUE(isdigit(static_cast<unsigned char>(ch)) || ch == '\n') << r.out;
  }
}

TEST_F(AgentProcess, EndSessionClearsEveryRowOfEveryServer) {
  db(ledger(), std::string(kSchema) +
                   "INSERT INTO T_BLOCK (DEVNO, OFFSET, SIZE, ACK, HASH, REMOTE_ID) VALUES "
                   "(0, 0, 8388608, 1, '1', '10.0.0.5'), (0, 0, 8388608, 0, '2', '10.0.0.6');");
  run_result_t r = run({"end_session"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("0", db(ledger(), "SELECT count(*) FROM T_BLOCK"));
  EXPECT_NE(std::string::npos, read_file(log_path()).find("end_session_func:"));
}

TEST_F(AgentProcess, EndSessionFailsWhenRowsCannotBeDeleted) {
  db(ledger(), std::string(kSchema) +
                   "PRAGMA journal_mode=WAL;INSERT INTO T_BLOCK (DEVNO, OFFSET, SIZE, ACK, HASH, "
                   "REMOTE_ID) VALUES (0, 0, 8388608, 1, '1', '10.0.0.5');");
  sqlite3* holder = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(ledger().c_str(), &holder));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
  run_result_t r = run({"end_session"});
  sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(holder);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("end_session failed")) << r.err;
  EXPECT_EQ("1", db(ledger(), "SELECT count(*) FROM T_BLOCK"));
  EXPECT_EQ(std::string::npos, read_file(log_path()).find("end session done"));
}

TEST_F(AgentProcess, SentbytesSumsAcknowledgedRowsOfEveryServerAndQueryStaysZero) {
  db(ledger(), std::string(kSchema) +
                   "INSERT INTO T_BLOCK (DEVNO, OFFSET, SIZE, ACK, HASH, REMOTE_ID) VALUES "
                   "(0, 0, 8388608, 1, '1', '10.0.0.5'), (0, 8388608, 4096, 1, '2', '10.0.0.6'),"
                   "(1, 0, 8388608, 0, '3', '10.0.0.5');");
  run_result_t r = run({"sentbytes"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("8392704\n", r.out);
  r = run({"query"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("0\n", r.out);
  EXPECT_NE(std::string::npos, read_file(log_path()).find("-| get_sent_block_size done\n"));
}

TEST(EntryArgs, ServerAddressFamily) {
  struct { const char* addr; int rc; int family; } cases[] = {
      {"10.0.0.5", 0, AF_INET},
      {"::1", 0, AF_INET6},
      {"fe80::1%eth0", 0, AF_INET6},
      {"example.com", UV_EINVAL, AF_INET},
      {"10.0.0.5:3389", UV_EINVAL, AF_INET6},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.addr);
    EXPECT_EQ(c.rc, set_server_address(c.addr));
    ASSERT_NE(nullptr, dest_ptr);
    EXPECT_EQ(c.family, dest_ptr->sa_family);
    if (c.rc == 0 && c.family == AF_INET) {
      EXPECT_EQ(htons(3389), dest4.sin_port);
    }
    if (c.rc == 0 && c.family == AF_INET6) {
      EXPECT_EQ(htons(3389), dest6.sin6_port);
    }
  }
}

TEST(EntryArgs, IncrementalOnlyAsTheSingleSecondWord) {
  struct { std::vector<const char*> args; int expected; } cases[] = {
      {{"blockferry", "10.0.0.5", "incremental"}, 1},
      {{"blockferry", "10.0.0.5", "incremental", "extra"}, 0},
      {{"blockferry", "10.0.0.5", "full"}, 0},
      {{"blockferry", "10.0.0.5", "Incremental"}, 0},
      {{"blockferry", "10.0.0.5"}, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.args.size());
    std::vector<char*> argv;
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    EXPECT_EQ(c.expected, wants_incremental(static_cast<int>(argv.size()), argv.data()));
  }
}
