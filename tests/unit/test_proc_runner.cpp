#include "agent/proc_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct captured_t {
  int result;
  bool null_output;
  std::string text;
  size_t size;
};

captured_t capture(std::vector<const char*> args) {
  args.push_back(nullptr);
  char* out = reinterpret_cast<char*>(1);  // must be reset by runcmd
  size_t size = 99;
  captured_t c;
  c.result = runcmd(args.data(), out, size);
  c.null_output = out == nullptr;
  c.size = size;
  if (out != nullptr) {
    EXPECT_EQ('\0', out[size]) << "buffer must end in a NUL after the counted bytes";
    c.text.assign(out, size);
  }
  free(out);
  return c;
}

TEST(RunCmd, ResultsAndOutput) {
  struct {
    const char* name;
    std::vector<const char*> args;
    int result;
    bool null_output;
    std::string text;
  } cases[] = {
      {"prints nothing", {"true"}, 0, true, ""},
      {"three bytes and exit 3", {"sh", "-c", "printf 'a\\nb'; exit 3"}, 3, false, "a\nb"},
      {"killed by SIGKILL", {"sh", "-c", "kill -9 $$"}, 137, true, ""},
      {"stdin is at end of input", {"cat"}, 0, true, ""},
      {"arguments reach the child unexpanded", {"printf", "%s|", "$HOME", "a b", "*"}, 0, false,
       "$HOME|a b|*|"},
      {"missing program on PATH", {"bf-no-such-tool-0d1e"}, -ENOENT, true, ""},
      {"missing program by path", {"/nonexistent/bf-tool"}, -ENOENT, true, ""},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::internal::CaptureStderr();
    captured_t got = capture(c.args);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(c.result, got.result);
    EXPECT_EQ(c.null_output, got.null_output);
    EXPECT_EQ(c.text, got.text);
    EXPECT_EQ(c.text.size(), got.size);
    if (c.result < 0) {
      EXPECT_EQ(std::string(strerror(-c.result)) + "\n", err);
    }
  }
}

TEST(RunCmd, ReadsOutputLongerThanOneChunk) {
  captured_t got = capture({"sh", "-c", "i=0; while [ $i -lt 3000 ]; do echo line$i; i=$((i+1)); done"});
  ASSERT_EQ(0, got.result);
  std::string want;
  for (int i = 0; i < 3000; ++i) want += "line" + std::to_string(i) + "\n";
  EXPECT_EQ(want, got.text);
}

// The agent holds its ledger and sockets open while it runs tools; a child
// that inherited them could keep the ledger locked or a connection alive.
TEST(RunCmd, ChildInheritsOnlyStandardStreams) {
  int file = open("/proc/self/exe", O_RDONLY);  // deliberately without O_CLOEXEC
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(file, 0);
  ASSERT_GE(sock, 0);
  ASSERT_EQ(100, dup2(file, 100));
  for (int fd : {file, sock, 100}) {
    SCOPED_TRACE(fd);
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    testing::internal::CaptureStderr();
    captured_t got = capture({"readlink", path.c_str()});
    testing::internal::GetCapturedStderr();
    EXPECT_NE(0, got.result) << "child still holds " << got.text;
  }
  // ls holds exactly one descriptor of its own: the directory it lists.
  captured_t got = capture({"ls", "/proc/self/fd"});
  EXPECT_EQ("0\n1\n2\n3\n", got.text);
  close(100);
  close(sock);
  close(file);
}

class RunPassthrough : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bf-proc-runner.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    ASSERT_NE(nullptr, getcwd(old_cwd_, sizeof old_cwd_));
  }
  void TearDown() override {
    ASSERT_EQ(0, chdir(old_cwd_));
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
  }
  std::string dir_;
  char old_cwd_[4096];
};

TEST_F(RunPassthrough, SharesStdoutAndReturnsStatus) {
  const char* args[] = {"sh", "-c", "echo from child; exit 7", nullptr};
  testing::internal::CaptureStdout();
  printf("before ");  // buffered text must come out before the child's
  int r = run_passthrough(args);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(7, r);
  EXPECT_EQ("before from child\n", out);
}

TEST_F(RunPassthrough, MissingProgramIsNegativeAndSilent) {
  const char* args[] = {"bf-no-such-tool-0d1e", nullptr};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int r = run_passthrough(args);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(-ENOENT, r);
  EXPECT_EQ("", out);
  EXPECT_EQ("", err);
  EXPECT_STREQ("No such file or directory", run_strerror(r));
}

// "./tools/dbdctl" names a program under the current directory; a bare name
// is never looked up there.
TEST_F(RunPassthrough, SlashNamesResolveAgainstCurrentDirectory) {
  ASSERT_EQ(0, mkdir((dir_ + "/tools").c_str(), 0755));
  std::string tool = dir_ + "/tools/bfhello";
  FILE* f = fopen(tool.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fputs("#!/bin/sh\nexit 42\n", f);
  fclose(f);
  ASSERT_EQ(0, chmod(tool.c_str(), 0755));
  ASSERT_EQ(0, chdir(dir_.c_str()));
  const char* relative[] = {"./tools/bfhello", nullptr};
  EXPECT_EQ(42, run_passthrough(relative));
  ASSERT_EQ(0, chdir("tools"));
  const char* bare[] = {"bfhello", nullptr};
  EXPECT_EQ(-ENOENT, run_passthrough(bare));
}

TEST(Split, Cases) {
  struct {
    const char* name;
    std::string text;
    std::string delimiter;
    std::vector<std::string> tokens;
  } cases[] = {
      {"three words and a newline", "a b c\n", " ", {"a", "b", "c", ""}},
      {"double space gives an empty token", "a  b", " ", {"a", "", "b"}},
      {"newline separates whatever the delimiter", "a|b\nc", "|", {"a", "b", "c"}},
      {"empty text", "", " ", {""}},
      {"no separator", "word", " ", {"word"}},
      {"lsblk line with empty columns", "sdx disk   7:0 64 512\n", " ",
       {"sdx", "disk", "", "", "7:0", "64", "512", ""}},
      {"consecutive newlines", "a\n\nb", " ", {"a", "", "b"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.tokens, split(c.text, c.delimiter));
  }
}

}  // namespace
