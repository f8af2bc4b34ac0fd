#include "agent/modinstall.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "agent/agent_state.h"
#include "agent/config.h"
#include "agent/proc_runner.h"
#include "agent/support/slog.h"

namespace {

const char kModuleName[] = "dattobd";

struct build_tool_t {
  const char* tool;
  const char* arg;
  const char* missing_log;
  int exit_code;
};

// Order matters: the first missing tool decides the exit code.
const build_tool_t kBuildTools[] = {
    {"make", "-h", "make not found.", 2},
    {"gcc", "-v", "gcc not found.", 3},
    {"xargs", "--help", "xargs not found.", 4},
    {"fdisk", "-h", "fdisk not found.", 5},
};

// Reads the whole file: /proc files report size 0, so read until end.
bool read_whole_file(int fd, std::string& out) {
  char chunk[8192];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out.append(chunk, static_cast<size_t>(n));
  }
}

// True when some line starts with `name` followed by blank, line end or the
// end of text: "dattobd_x" or a dependency column naming it does not count.
bool lists_module(const std::string& text, const char* name) {
  const size_t len = strlen(name);
  for (size_t pos = 0; pos < text.size();) {
    if (text.compare(pos, len, name) == 0) {
      size_t after = pos + len;
      if (after == text.size() || text[after] == ' ' || text[after] == '\t' ||
          text[after] == '\n')
        return true;
    }
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return false;
}

bool file_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// Runs a build step whose failure is not fatal here: a module that did not
// load shows up when the snapshot set-up fails. Logged for the operator.
void run_build_step(const char* const* args, const char* what) {
  fflush(stdout);
  int r = run_passthrough(args);
  if (r < 0)
    log_error("%s could not be started: %s", what, run_strerror(r));
  else if (r != 0)
    log_error("%s exited with status %d", what, r);
}

}  // namespace

int check_install_env() {
  if (allow_skip_snap) return 0;
  for (const build_tool_t& t : kBuildTools) {
    const char* args[] = {t.tool, t.arg, nullptr};
    fflush(stdout);
    int r = run_passthrough(args);
    if (r < 0) {
      log_info("%s", t.missing_log);
      log_info("%s\n", run_strerror(r));
      exit(t.exit_code);
    }
  }
  return 0;
}

bool snap_installed(const char* modules_file) {
  if (allow_skip_snap) return true;
  int fd = open(modules_file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    perror("open modules error");
    return false;
  }
  std::string text;
  if (!read_whole_file(fd, text)) perror("read modules error");
  close(fd);
  return lists_module(text, kModuleName);
}

int snap_assert_or_install() {
  char exe_dir[4096] = "";
  if (get_exe_path(exe_dir) != 0) {
    log_error("cannot find the executable's directory");
    return 1;
  }
  return snap_assert_or_install_at(exe_dir, "/proc/modules");
}

int snap_assert_or_install_at(const char* exe_dir, const char* modules_file) {
  if (allow_skip_snap) return 0;
  int r = check_install_env();
  if (r != 0) {
    log_error("check env fail");
    return r;
  }
  if (snap_installed(modules_file)) {
    log_info("check snap kernel ok.");
    printf("check snap kernel ok.");
    fflush(stdout);
    return 0;
  }
  std::string kmod_dir = std::string(exe_dir) + "/kmod";

  const char* hello[] = {"echo", "Hello, world!", nullptr};
  fflush(stdout);
  run_passthrough(hello);

  // From here on the process works inside kmod; "./tools/dbdctl" resolves there.
  if (chdir(kmod_dir.c_str()) != 0) {
    log_info("chdir error");
    perror("chdir error");
    return 1;
  }
  if (!file_exists("dattobd.ko")) {
    const char* clean[] = {"make", "clean", nullptr};
    const char* build[] = {"make", nullptr};
    run_build_step(clean, "make clean");
    run_build_step(build, "make");
  }
  const char* load[] = {"insmod", "dattobd.ko", nullptr};
  run_build_step(load, "insmod dattobd.ko");
  wf_sleep(4);  // the module needs a moment before its devices answer
  return 0;
}
