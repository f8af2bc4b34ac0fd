// Read-only test of a mount point against the kernel's mount table.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "agent/inventory.h"
#include "agent/support/slog.h"

namespace {

bool is_octal_digit(char c) { return c >= '0' && c <= '7'; }

// Reads the whole file; the mount table can be far longer than one page.
int read_whole_file(const char* path, std::string& text) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -errno;
  char chunk[8192];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = -errno;
      close(fd);
      return err;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return 0;
}

bool options_say_rw(const std::string& options) {
  std::stringstream in(options);
  std::string option;
  while (std::getline(in, option, ',')) {
    if (option == "rw") return true;
  }
  return false;
}

}  // namespace

std::string decode_octal_escapes(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && is_octal_digit(s[i + 1]) && is_octal_digit(s[i + 2]) &&
        is_octal_digit(s[i + 3])) {
      out.push_back(static_cast<char>(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

bool mounts_text_has_rw(const std::string& mounts, const char* path) {
  std::stringstream lines(mounts);
  std::string line;
  while (std::getline(lines, line)) {
    std::stringstream fields(line);
    std::string device, mountpoint, fstype, options, freq, passno;
    if (!(fields >> device >> mountpoint >> fstype >> options >> freq >> passno)) continue;
    if (decode_octal_escapes(mountpoint) != path) continue;
    if (options_say_rw(options)) return true;
  }
  return false;
}

bool check_is_ro_mount(const char* path, const char* mounts_file) {
  std::string text;
  int err = read_whole_file(mounts_file, text);
  if (err != 0) {
    // Unknown counts as read-only: the flag only informs the listing.
    errno = -err;
    perror("open mounts error");
    log_error("cannot read %s: %s", mounts_file, strerror(-err));
    return true;
  }
  return !mounts_text_has_rw(text, path);
}
