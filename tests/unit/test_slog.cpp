#include "agent/support/slog.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// One log per test process, opened on first use in a directory that does not
// exist yet (init_logger must create it); removed when the process ends. Lazy,
// so the death test's fresh process starts with no log open.
struct log_env_t {
  std::string base;
  std::string dir;
  std::string date_before;
  std::string date_after;
  int init_result = -1;
};

log_env_t& env_state() {
  static log_env_t e;
  return e;
}

log_env_t& env() {
  log_env_t& e = env_state();
  if (e.base.empty()) {
    char tmpl[] = "/tmp/bf_slog_XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    e.base = tmpl;
    e.dir = e.base + "/logs";
    e.date_before = today();
    e.init_result = init_logger(e.dir.c_str(), 2);
    e.date_after = today();
  }
  return e;
}

class RemoveLogDir : public ::testing::Environment {
 public:
  void TearDown() override {
    if (env_state().base.empty()) return;
    std::string cmd = "rm -rf '" + env_state().base + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove the test log directory\n");
  }
};
const ::testing::Environment* const kEnv = ::testing::AddGlobalTestEnvironment(new RemoveLogDir);

std::string log_text() { return read_file(slog_file_path()); }

// Text appended to the log by `fn`.
template <typename F>
std::string appended_by(F fn) {
  size_t before = log_text().size();
  fn();
  return log_text().substr(before);
}

}  // namespace

TEST(Slog, LevelTags) {
  struct { int level; const char* tag; } cases[] = {
      {1, "[TRACE]"}, {2, "[DEBUG]"}, {3, "[INFO ]"}, {4, "[WARN ]"},
      {5, "[ERROR]"}, {0, "[     ]"}, {6, "[     ]"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.level);
    EXPECT_STREQ(c.tag, _get_level_str(c.level));
  }
}

TEST(Slog, CreatesDirectoryAndNamesFileAfterStartDate) {
  ASSERT_EQ(1, env().init_result);
  struct stat st;
  ASSERT_EQ(0, stat(env().dir.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0744 & ~0022, st.st_mode & 0777 & ~0022);  // 0744 less the umask
  std::string path = slog_file_path();
  EXPECT_TRUE(path == env().dir + "/" + env().date_before + ".log" ||
              path == env().dir + "/" + env().date_after + ".log")
      << path;
  EXPECT_EQ(0, access(path.c_str(), F_OK));
}

TEST(Slog, LineLayout) {
  ASSERT_EQ(1, env().init_result);
  std::string got = appended_by(
      [] { write_log(S_INFO, 1, "main", 7, "connect to %s:%d..", "10.0.0.5", 3389); });
  std::regex layout(
      R"(\[INFO \] \d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} main:7 -\| connect to 10\.0\.0\.5:3389\.\.
)");
  EXPECT_TRUE(std::regex_match(got, layout)) << got;

  // The stamp is the local time of the call.
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  char day[48];
  snprintf(day, sizeof day, "%04d/%02d/%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  EXPECT_EQ(day, got.substr(8, 10));
}

TEST(Slog, MessageWithLineFeedsSpansLines) {
  ASSERT_EQ(1, env().init_result);
  std::string got = appended_by([] { log_info("Plan: block\n%lld %lld v:%p\n", 1LL, 2LL, nullptr); });
  EXPECT_NE(std::string::npos, got.find(" -| Plan: block\n1 2 v:"));
  EXPECT_EQ("\n\n", got.substr(got.size() - 2));  // a format ending in \n leaves an empty line
}

TEST(Slog, ThresholdTwoDropsLevelsBelowIt) {
  ASSERT_EQ(1, env().init_result);
  struct { int level; const char* tag; } cases[] = {
      {0, nullptr}, {1, nullptr}, {2, "[DEBUG]"}, {3, "[INFO ]"},
      {4, "[WARN ]"}, {5, "[ERROR]"}, {6, "[     ]"}, {-1, "[     ]"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.level);
    std::string got = appended_by([&] { write_log(c.level, 1, "f", 1, "level %d", c.level); });
    if (!c.tag) {
      EXPECT_EQ("", got);
    } else {
      EXPECT_EQ(c.tag, got.substr(0, 7));
      EXPECT_NE(std::string::npos, got.find("f:1 -| level"));
    }
  }
}

TEST(Slog, LongTextIsCutAt4094Characters) {
  ASSERT_EQ(1, env().init_result);
  // "[INFO ] YYYY/MM/DD hh:mm:ss f:1 -| " is 35 characters.
  const size_t prefix = 35;
  struct { const char* name; size_t message; size_t written; bool line_feed; } cases[] = {
      {"fits with its line feed", 4094 - prefix - 1, 4094, true},
      {"one more loses the line feed", 4094 - prefix, 4094, false},
      {"5000 characters", 5000, 4094, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string message(c.message, 'x');
    std::string got = appended_by([&] { write_log(S_INFO, 1, "f", 1, "%s", message.c_str()); });
    ASSERT_EQ(c.written, got.size());
    EXPECT_EQ(c.line_feed, got.back() == '\n');
    EXPECT_EQ(" f:1 -| xxx", got.substr(27, 11));
    if (!c.line_feed) write_log(S_INFO, 1, "f", 1, "%s", "");  // end the cut line
  }
}

TEST(Slog, SecondInitKeepsFileAndThreshold) {
  ASSERT_EQ(1, env().init_result);
  std::string path = slog_file_path();
  std::string other = env().base + "/other";
  EXPECT_EQ(1, init_logger(other.c_str(), 5));
  EXPECT_EQ(path, slog_file_path());
  EXPECT_NE(0, access(other.c_str(), F_OK));  // not even created
  std::string got = appended_by([] { write_log(S_DEBUG, 1, "f", 2, "still written"); });
  EXPECT_NE(std::string::npos, got.find("still written"));
}

TEST(Slog, LinesFromSeveralThreadsNeverInterleave) {
  ASSERT_EQ(1, env().init_result);
  const int kThreads = 4, kLines = 300;
  size_t before = log_text().size();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([t] {
      std::string body(1000, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; i++) write_log(S_INFO, 1, "worker", t, "%d %s", i, body.c_str());
    });
  }
  for (auto& th : threads) th.join();

  std::istringstream lines(log_text().substr(before));
  std::regex shape(R"(\[INFO \] \S+ \S+ worker:(\d) -\| (\d+) ([a-d])\3{999})");
  int count[kThreads] = {};
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 80);
    int t = std::stoi(m[1]);
    EXPECT_EQ('a' + t, m[3].str()[0]);
    EXPECT_EQ(count[t], std::stoi(m[2]));  // each thread's lines in its own order
    count[t]++;
  }
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(kLines, count[t]);
}

// Runs in a fresh process, where no log is open yet.
TEST(SlogDeathTest, UncreatableDirectoryFailsInit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exit(init_logger("/proc/bf_no_such_dir/logs", 2) == 0 ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
}
