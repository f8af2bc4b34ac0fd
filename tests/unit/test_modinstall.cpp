// Module installation against fake build tools: a temp dir of small scripts
// put alone on PATH, each appending "name args|cwd" to a call log, so the
// tests see which tools run, in which order and where.
#include "agent/modinstall.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/config.h"
#include "agent/support/slog.h"
#include "test_files.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

const char* const kAllTools[] = {"make", "gcc", "xargs", "fdisk", "echo", "insmod"};
const std::vector<std::string> kCheckCalls = {"make -h", "gcc -v", "xargs --help", "fdisk -h"};

// A fake tool: records its call, exits with $BF_STATUS_<name> (default 0).
void write_tool(const std::string& dir, const std::string& name) {
  write_file(dir + "/" + name,
             "#!/bin/sh\n"
             "printf '%s|%s\\n' \"" + name + " $*\" \"$(pwd)\" >> \"$BF_CALL_LOG\"\n"
             "exit ${BF_STATUS_" + name + ":-0}\n",
             0755);
}

std::string current_dir() { return fs::current_path().string(); }

// /proc/modules-like text: `count` ordinary modules, then `tail`.
std::string modules_text(int count, const std::string& tail) {
  std::string text;
  char line[128];
  for (int i = 0; i < count; ++i) {
    snprintf(line, sizeof line, "mod_%04d 16384 0 - Live 0x0000000000000000\n", i);
    text += line;
  }
  return text + tail;
}

// All tests of this binary log into one file; each test reads what it added.
class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/bf_modinstall_log_XXXXXX";
    dir_ = mkdtemp(tmpl);
    ASSERT_EQ(1, init_logger(dir_.c_str(), 2));
  }
  void TearDown() override { fs::remove_all(dir_); }

 private:
  std::string dir_;
};
::testing::Environment* const g_log_env = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

class ModInstall : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bf_modinstall_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    bin_ = root_ + "/bin";
    exe_dir_ = root_ + "/exe/";
    kmod_ = exe_dir_ + "/kmod";
    modules_ = root_ + "/modules";
    call_log_ = root_ + "/calls";
    fs::create_directories(bin_);
    fs::create_directories(exe_dir_);
    for (const char* t : kAllTools) write_tool(bin_, t);
    write_file(modules_, modules_text(3, ""));
    start_dir_ = current_dir();
    old_path_ = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", bin_.c_str(), 1);
    setenv("BF_CALL_LOG", call_log_.c_str(), 1);
    log_start_ = read_file(slog_file_path()).size();
    allow_skip_snap = false;
  }

  void TearDown() override {
    ASSERT_EQ(0, chdir(start_dir_.c_str()));
    setenv("PATH", old_path_.c_str(), 1);
    for (const char* t : kAllTools) unsetenv((std::string("BF_STATUS_") + t).c_str());
    allow_skip_snap = false;
    fs::remove_all(root_);
  }

  // The calls recorded so far, without their working directories.
  std::vector<std::string> calls() const { return call_field(0); }
  std::vector<std::string> call_dirs() const { return call_field(1); }
  std::vector<std::string> call_field(int field) const {
    std::vector<std::string> out;
    std::istringstream in(read_file(call_log_));
    for (std::string line; std::getline(in, line);) {
      size_t bar = line.rfind('|');
      std::string call = line.substr(0, bar);
      if (!call.empty() && call.back() == ' ') call.pop_back();  // a tool run without arguments
      out.push_back(field == 0 ? call : line.substr(bar + 1));
    }
    return out;
  }
  std::string new_log() const { return read_file(slog_file_path()).substr(log_start_); }

  static std::vector<std::string> concat(std::vector<std::string> a,
                                         const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  std::string root_, bin_, exe_dir_, kmod_, modules_, call_log_, start_dir_, old_path_;
  size_t log_start_ = 0;
};

TEST_F(ModInstall, CheckRunsEveryToolInOrder) {
  // A tool that starts but fails still counts as present.
  setenv("BF_STATUS_gcc", "1", 1);
  EXPECT_EQ(0, check_install_env());
  EXPECT_THAT(calls(), ElementsAreArray(kCheckCalls));
}

TEST_F(ModInstall, MissingToolEndsProcessWithItsCode) {
  struct {
    const char* missing;
    int code;
    size_t calls_before;
    const char* log_line;
  } cases[] = {
      {"make", 2, 0, "make not found."},
      {"gcc", 3, 1, "gcc not found."},
      {"xargs", 4, 2, "xargs not found."},
      {"fdisk", 5, 3, "fdisk not found."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.missing);
    fs::remove(call_log_);
    fs::remove(bin_ + "/" + c.missing);
    size_t log_mark = read_file(slog_file_path()).size();
    EXPECT_EXIT(check_install_env(), ::testing::ExitedWithCode(c.code), "");
    // Later tools are never started.
    std::vector<std::string> before(kCheckCalls.begin(), kCheckCalls.begin() + c.calls_before);
    EXPECT_THAT(calls(), ElementsAreArray(before));
    std::string log = read_file(slog_file_path()).substr(log_mark);
    EXPECT_THAT(log, HasSubstr(c.log_line));
    EXPECT_THAT(log, HasSubstr("No such file or directory"));
    write_tool(bin_, c.missing);
  }
}

TEST_F(ModInstall, MissingMakeStopsInstallationBeforeAnythingRuns) {
  fs::remove(bin_ + "/make");
  fs::create_directories(kmod_);
  EXPECT_EXIT(snap_assert_or_install_at(exe_dir_.c_str(), modules_.c_str()),
              ::testing::ExitedWithCode(2), "");
  EXPECT_THAT(calls(), IsEmpty());
}

TEST_F(ModInstall, AllowSkipSnapRunsNothing) {
  allow_skip_snap = true;
  setenv("PATH", (root_ + "/nowhere").c_str(), 1);  // any start would fail
  EXPECT_EQ(0, check_install_env());
  EXPECT_TRUE(snap_installed((root_ + "/no_such_modules").c_str()));
  EXPECT_EQ(0, snap_assert_or_install_at(exe_dir_.c_str(), modules_.c_str()));
  EXPECT_THAT(calls(), IsEmpty());
  EXPECT_EQ(start_dir_, current_dir());
}

TEST_F(ModInstall, LoadedTestReadsWholeFileAndMatchesWholeName) {
  const std::string long_list = modules_text(300, "dattobd 53248 0 - Live 0x0 (OE)\n");
  ASSERT_GT(long_list.size(), 8192u);  // the module lies beyond the first 8 KiB
  struct {
    const char* name;
    std::string text;
    bool loaded;
  } cases[] = {
      {"first line", "dattobd 53248 0 - Live 0x0 (OE)\next4 1 0 - Live 0x0\n", true},
      {"after 8 KiB", long_list, true},
      {"last line without newline", modules_text(2, "dattobd 53248 0 - Live 0x0"), true},
      {"name alone at the end", modules_text(2, "dattobd"), true},
      {"absent", modules_text(400, ""), false},
      {"empty file", "", false},
      {"longer module name", "dattobd_helper 16384 0 - Live 0x0\n", false},
      {"name inside another", "xdattobd 16384 0 - Live 0x0\n", false},
      {"only as a dependency", "snapx 16384 1 dattobd, Live 0x0\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(modules_, c.text);
    EXPECT_EQ(c.loaded, snap_installed(modules_.c_str()));
  }
}

TEST_F(ModInstall, UnreadableModulesListCountsAsNotLoaded) {
  ::testing::internal::CaptureStderr();
  bool loaded = snap_installed((root_ + "/no_such_modules").c_str());
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(loaded);
  EXPECT_THAT(err, HasSubstr("open modules error: No such file or directory"));
}

TEST_F(ModInstall, LoadedModuleBuildsNothing) {
  write_file(modules_, modules_text(200, "dattobd 53248 0 - Live 0x0 (OE)\n"));
  fs::create_directories(kmod_);
  ::testing::internal::CaptureStdout();
  int r = snap_assert_or_install_at(exe_dir_.c_str(), modules_.c_str());
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(0, r);
  EXPECT_EQ("check snap kernel ok.", out);  // no line end
  EXPECT_THAT(calls(), ElementsAreArray(kCheckCalls));
  EXPECT_EQ(start_dir_, current_dir());
  EXPECT_THAT(new_log(), HasSubstr("check snap kernel ok."));
}

TEST_F(ModInstall, MissingModuleIsBuiltAndLoadedInsideKmod) {
  fs::create_directories(kmod_);
  time_t started = time(nullptr);
  EXPECT_EQ(0, snap_assert_or_install_at(exe_dir_.c_str(), modules_.c_str()));
  EXPECT_GE(time(nullptr) - started, 3);  // the pause after insmod happened
  EXPECT_THAT(calls(), ElementsAreArray(concat(kCheckCalls, {"echo Hello, world!", "make clean",
                                                             "make", "insmod dattobd.ko"})));
  // Build and load run inside kmod, and the agent stays there afterwards.
  std::string kmod_real = fs::canonical(kmod_).string();
  std::vector<std::string> dirs = call_dirs();
  ASSERT_EQ(8u, dirs.size());
  EXPECT_EQ(start_dir_, dirs[4]);  // echo still ran in the start directory
  EXPECT_EQ(kmod_real, dirs[5]);
  EXPECT_EQ(kmod_real, dirs[7]);
  EXPECT_EQ(kmod_real, current_dir());
}

TEST_F(ModInstall, PrebuiltModuleIsLoadedWithoutMake) {
  fs::create_directories(kmod_);
  write_file(kmod_ + "/dattobd.ko", "module");
  setenv("BF_STATUS_insmod", "1", 1);  // a failed load is logged, not returned
  EXPECT_EQ(0, snap_assert_or_install_at(exe_dir_.c_str(), modules_.c_str()));
  EXPECT_THAT(calls(),
              ElementsAreArray(concat(kCheckCalls, {"echo Hello, world!", "insmod dattobd.ko"})));
  EXPECT_THAT(new_log(), HasSubstr("insmod dattobd.ko exited with status 1"));
}

TEST_F(ModInstall, MissingKmodReturnsOneAndBuildsNothing) {
  ::testing::internal::CaptureStderr();
  int r = snap_assert_or_install_at(exe_dir_.c_str(), modules_.c_str());
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(1, r);
  EXPECT_THAT(calls(), ElementsAreArray(concat(kCheckCalls, {"echo Hello, world!"})));
  EXPECT_EQ(start_dir_, current_dir());
  EXPECT_THAT(err, HasSubstr("chdir error: No such file or directory"));
  EXPECT_THAT(new_log(), HasSubstr("chdir error"));
}

// The real executable, copied beside a kmod of our choosing, run as a child.
class AgentExe : public ModInstall {
 protected:
  struct result_t {
    int status;
    std::string log;
  };
  result_t run_agent(const char* command) {
    std::string exe = exe_dir_ + "blockferry";
    if (!fs::exists(exe)) fs::copy_file(BF_AGENT_EXE, exe);
    chmod(exe.c_str(), 0755);
    std::string run_dir = root_ + "/run";
    fs::create_directories(run_dir);
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(run_dir.c_str()) != 0) _exit(127);
      int null_fd = open("/dev/null", O_WRONLY);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      // Only the exit status is under test here; records the process keeps
      // until it ends are not this module's concern.
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
      execl(exe.c_str(), exe.c_str(), command, static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::string log;
    for (const auto& e : fs::directory_iterator(run_dir))
      if (e.path().extension() == ".log") log += read_file(e.path().string());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, log};
  }
};

TEST_F(AgentExe, CheckWithoutMakeExitsTwo) {
  fs::remove(bin_ + "/make");
  result_t r = run_agent("check");
  EXPECT_EQ(2, r.status);
  EXPECT_THAT(r.log, HasSubstr("make not found."));
  EXPECT_THAT(calls(), IsEmpty());
}

TEST_F(AgentExe, AllowSkipSnapChecksPassWithoutAnyTool) {
  write_file(exe_dir_ + "user.json", "{\"allow_skip_snap\": true}");
  setenv("PATH", (root_ + "/nowhere").c_str(), 1);  // any start would fail
  for (const char* command : {"check", "env_check"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(0, run_agent(command).status);
  }
  EXPECT_THAT(calls(), IsEmpty());
}

TEST_F(AgentExe, EnvCheckWithoutKmodExitsOne) {
  if (snap_installed()) GTEST_SKIP() << "dattobd is loaded on this host";
  result_t r = run_agent("env_check");
  EXPECT_EQ(1, r.status);
  EXPECT_THAT(r.log, HasSubstr("chdir error"));
  EXPECT_THAT(calls(), Not(::testing::Contains("make clean")));
}

}  // namespace
