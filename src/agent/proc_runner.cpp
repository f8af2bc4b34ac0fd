#include "agent/proc_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The child must see only its three standard streams: the agent holds ledger
// and socket descriptors that a long-lived child (make, insmod, dbdctl) would
// otherwise keep open. closefrom runs after the dup2 actions, so it never
// touches 0..2.
int spawn_child(const char* const* args, int stdin_fd, int stdout_fd, pid_t* pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  int err = posix_spawn_file_actions_init(&actions);
  if (err != 0) return err;
  err = posix_spawnattr_init(&attr);
  if (err != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return err;
  }
  if (stdin_fd >= 0 && err == 0) err = posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
  if (stdout_fd >= 0 && err == 0) err = posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  if (err == 0) err = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  // Worker threads may run with signals blocked and the agent may ignore
  // SIGPIPE; a tool should start with the ordinary defaults. SIGHUP keeps
  // the agent's disposition on purpose: a closed terminal must not stop a build.
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  if (err == 0) err = posix_spawnattr_setsigmask(&attr, &empty);
  if (err == 0) err = posix_spawnattr_setsigdefault(&attr, &defaults);
  if (err == 0) err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  // posix_spawnp searches PATH only for names without "/", which is exactly
  // the lookup we want; a name with "/" resolves against the current directory.
  if (err == 0) {
    err = posix_spawnp(pid, args[0], &actions, &attr, const_cast<char* const*>(args), environ);
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return err;
}

// Waits for `pid` and turns its status into a run result.
int wait_child(pid_t pid) {
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    return -(errno != 0 ? errno : ECHILD);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -ECHILD;
}

// Appends everything readable from `fd` until end of stream. Returns 0 or a
// negative errno; on failure the bytes read so far stay in the buffer.
int read_to_end(int fd, char*& output, size_t& size) {
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    char* grown = static_cast<char*>(realloc(output, size + static_cast<size_t>(n) + 1));
    if (grown == nullptr) return -ENOMEM;
    output = grown;
    memcpy(output + size, chunk, static_cast<size_t>(n));
    size += static_cast<size_t>(n);
    output[size] = '\0';
  }
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

int runcmd(const char* const* args, char*& output, size_t& size) {
  output = nullptr;
  size = 0;
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
    int result = -errno;
    close_fd(in_pipe[0]);
    close_fd(in_pipe[1]);
    fprintf(stderr, "%s\n", run_strerror(result));
    return result;
  }
  fflush(stdout);
  pid_t pid = -1;
  int err = spawn_child(args, in_pipe[0], out_pipe[1], &pid);
  close_fd(in_pipe[0]);
  close_fd(out_pipe[1]);
  // The child sees end of input at once: nothing is ever written to it.
  close_fd(in_pipe[1]);
  if (err != 0) {
    close_fd(out_pipe[0]);
    fprintf(stderr, "%s\n", run_strerror(-err));
    return -err;
  }
  int read_result = read_to_end(out_pipe[0], output, size);
  // Closing our end before the wait lets a child still writing get EPIPE
  // instead of blocking forever when the read stopped early.
  close_fd(out_pipe[0]);
  int result = wait_child(pid);
  if (result >= 0 && read_result < 0) result = read_result;
  if (result < 0) fprintf(stderr, "%s\n", run_strerror(result));
  return result;
}

int run_passthrough(const char* const* args) {
  // Whatever the agent buffered must come out before the child's own output.
  fflush(stdout);
  pid_t pid = -1;
  int err = spawn_child(args, -1, -1, &pid);
  if (err != 0) return -err;
  return wait_child(pid);
}

const char* run_strerror(int result) {
  if (result >= 0) return "Success";
  return strerror(-result);
}

std::vector<std::string> split(std::string s, std::string delimiter) {
  std::vector<std::string> tokens;
  size_t pos = 0;
  for (;;) {
    size_t at_delim = delimiter.empty() ? std::string::npos : s.find(delimiter, pos);
    size_t at_newline = s.find('\n', pos);
    size_t sep = at_delim < at_newline ? at_delim : at_newline;
    if (sep == std::string::npos) {
      tokens.push_back(s.substr(pos));
      return tokens;
    }
    tokens.push_back(s.substr(pos, sep - pos));
    // Advance by the delimiter's length even past a newline (all callers use
    // one-character delimiters, so a newline is skipped exactly); never stall.
    pos = sep + (delimiter.empty() ? 1 : delimiter.size());
    if (pos > s.size()) {
      tokens.push_back(std::string());
      return tokens;
    }
  }
}
