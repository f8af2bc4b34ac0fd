// Whole disks: the kernel's block device list, sizes by ioctl.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "agent/inventory.h"
#include "agent/support/slog.h"

std::vector<disk_info_t*>& g_disks = *new std::vector<disk_info_t*>;  // sorted by name; written once by the main thread at start-up

namespace {

constexpr int64_t kGiB = 1073741824;

// Loop devices, optical drives, snapshot devices and network block devices are
// never replicated: they are either not disks of this machine or our own copies.
bool is_skipped_entry(const char* name) {
  static const char* const kSkip[] = {"loop", "sr", "elastio-snap", "datto", "nbd"};
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return true;
  for (const char* s : kSkip) {
    if (strstr(name, s) != nullptr) return true;
  }
  return false;
}

// The kernel's own figure, in 512-byte units whatever the sector size; -1
// when the attribute is missing or not a number.
int64_t sysfs_disk_size(const char* sysfs_block_dir, const char* entry) {
  std::string path = std::string(sysfs_block_dir) + "/" + entry + "/size";
  FILE* f = fopen(path.c_str(), "re");
  if (f == nullptr) return -1;
  long long sectors = -1;
  int got = fscanf(f, "%lld", &sectors);
  fclose(f);
  if (got != 1 || sectors < 0 || sectors > INT64_MAX / 512) return -1;
  return static_cast<int64_t>(sectors) * 512;
}

}  // namespace

bool diskcmp(const disk_info_t* a, const disk_info_t* b) { return strcmp(a->name, b->name) < 0; }

int64_t get_disk_size(const char* dev) {
  int fd = open(dev, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    printf("open error: %d\n", fd);
    log_error("open %s: %s", dev, strerror(err));
    return -1;
  }
  uint64_t bytes = 0;
  if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
    int err = errno;
    printf("ioctl error \n");
    log_error("BLKGETSIZE64 on %s: %s", dev, strerror(err));
    close(fd);
    return -1;
  }
  close(fd);
  return static_cast<int64_t>(bytes);
}

int query_disks(std::vector<disk_info_t*>& disks, const char* sysfs_block_dir) {
  DIR* dir = opendir(sysfs_block_dir);
  if (dir == nullptr) {
    perror("");
    return 1;
  }
  int count = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (is_skipped_entry(entry->d_name)) continue;
    std::string path = std::string("/dev/") + entry->d_name;
    // The name must keep its terminator: a longer path would be cut and then
    // name a different device.
    if (path.size() >= sizeof(disk_info_t::name)) {
      printf("block path > 64 \n");
      fflush(stdout);
      abort();
    }
    disk_info_t* disk = static_cast<disk_info_t*>(calloc(1, sizeof(disk_info_t)));
    if (disk == nullptr) {
      perror("");
      abort();
    }
    disk->device_index = count++;
    memcpy(disk->name, path.c_str(), path.size() + 1);
    disk->size = get_disk_size(disk->name);
    if (disk->size < 0) {
      // Opening may be refused (device policy of a container or VM host)
      // while the kernel still knows the size; the reader will report the
      // refusal itself when it comes to read the disk.
      disk->size = sysfs_disk_size(sysfs_block_dir, entry->d_name);
      if (disk->size >= 0) log_info("size of %s from sysfs: %lld", disk->name, static_cast<long long>(disk->size));
    }
    disk->is_offline = false;
    disks.push_back(disk);
  }
  closedir(dir);
  std::sort(disks.begin(), disks.end(), diskcmp);
  for (size_t i = 0; i < disks.size(); ++i) disks[i]->device_index = static_cast<int>(i);
  return 0;
}

int device_path_to_index(std::vector<disk_info_t*>& disks, const char* path) {
  for (const disk_info_t* disk : disks) {
    if (strcmp(disk->name, path) == 0) return disk->device_index;
  }
  return 0;
}

std::vector<int> disk_sizes_in_gib(const std::vector<disk_info_t*>& disks) {
  std::vector<int> sizes;
  sizes.reserve(disks.size());
  for (const disk_info_t* disk : disks) sizes.push_back(static_cast<int>(disk->size / kGiB));
  return sizes;
}

std::vector<int> get_disk_sizes() {
  // A fresh list, so g_disks stays as it is; nothing else sees these
  // records, so they go when the sizes are taken.
  std::vector<disk_info_t*> disks;
  query_disks(disks);
  std::vector<int> sizes = disk_sizes_in_gib(disks);
  for (disk_info_t* disk : disks) free(disk);
  return sizes;
}
