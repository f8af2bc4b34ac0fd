#include "server/agent_store.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string sys_error(const std::string& what) { return what + ": " + strerror(errno); }

}  // namespace

std::string agent_dir_name(const std::string& address) {
  std::string out = address;
  for (char& c : out) {
    bool keep = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                c == '.' || c == ':' || c == '-';
    if (!keep) c = '_';
  }
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

std::string image_file_name(int devno) { return "disk" + std::to_string(devno) + ".img"; }

int agent_open_files(agent_t* a, std::string* error) {
  std::lock_guard<std::mutex> guard(a->lock);
  if (a->binlog_fd >= 0) return 0;
  if (mkdir(a->dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = sys_error("mkdir " + a->dir);
    return -1;
  }
  std::string path = a->dir + "/" + kBinlogName;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = sys_error("open " + path);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = sys_error("fstat " + path);
    close(fd);
    return -1;
  }
  a->binlog_fd = fd;
  a->binlog_size = st.st_size;
  return 0;
}

image_file_t* agent_image(agent_t* a, int devno, std::string* error) {
  std::lock_guard<std::mutex> guard(a->lock);
  auto it = a->images.find(devno);
  if (it != a->images.end()) return it->second.get();
  std::string path = a->dir + "/" + image_file_name(devno);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = sys_error("open " + path);
    return nullptr;
  }
  auto img = std::make_unique<image_file_t>();
  img->fd = fd;
  image_file_t* raw = img.get();
  a->images.emplace(devno, std::move(img));
  return raw;
}

int format_binlog_record(char* out, size_t cap, int64_t when, int devno, int64_t offset,
                         int length, uint64_t hash) {
  return snprintf(out, cap, "%" PRId64 " %d %" PRId64 " %d %016" PRIx64 "\n", when, devno, offset,
                  length, hash);
}

int agent_append_binlog(agent_t* a, int64_t when, int devno, int64_t offset, int length,
                        uint64_t hash, std::string* error) {
  char record[128];
  int n = format_binlog_record(record, sizeof record, when, devno, offset, length, hash);
  std::lock_guard<std::mutex> guard(a->lock);
  if (a->binlog_fd < 0) {
    *error = "binlog is not open";
    return -1;
  }
  // One write per record on an O_APPEND descriptor: records never interleave.
  ssize_t w;
  do {
    w = write(a->binlog_fd, record, static_cast<size_t>(n));
  } while (w < 0 && errno == EINTR);
  if (w != n) {
    *error = w < 0 ? sys_error("binlog write") : "binlog write was short";
    return -1;
  }
  a->binlog_size += n;
  return 0;
}

int agent_sync(agent_t* a, std::string* error) {
  std::vector<int> fds;
  {
    std::lock_guard<std::mutex> guard(a->lock);
    for (auto& kv : a->images) fds.push_back(kv.second->fd);
    if (a->binlog_fd >= 0) fds.push_back(a->binlog_fd);
  }
  int rc = 0;
  for (int fd : fds) {
    if (fsync(fd) != 0 && rc == 0) {
      *error = sys_error("fsync");
      rc = -1;
    }
  }
  // New image files must also survive as directory entries.
  int dfd = open(a->dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    if (fsync(dfd) != 0 && rc == 0) {
      *error = sys_error("fsync " + a->dir);
      rc = -1;
    }
    close(dfd);
  }
  return rc;
}

void agent_close_files(agent_t* a) {
  std::lock_guard<std::mutex> guard(a->lock);
  for (auto& kv : a->images) close(kv.second->fd);
  a->images.clear();
  if (a->binlog_fd >= 0) close(a->binlog_fd);
  a->binlog_fd = -1;
}
