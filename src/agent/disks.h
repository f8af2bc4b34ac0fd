// The disk and volume records of the inventory. Filled once at start-up on
// the main thread (inventory.h); read-only afterwards, from any thread.
#pragma once

#include <stdint.h>

#include <vector>

struct disk_info_t {
  char name[64];     // "/dev/" + the /sys/block entry name, NUL-terminated
  int device_index;  // position in g_disks after sorting; the disk's number on the wire
  int64_t size;      // bytes (from sysfs when the device cannot be opened); -1 when unknown
  bool is_offline;   // always false: nothing recognises an offline disk yet
};

struct volume_info_t {
  char name[64];          // "/dev/" + the kernel name lsblk reports
  int device_index;       // device_index of the disk it lies on (0 when not in g_disks)
  int64_t offset;         // byte offset of the volume's first byte on its disk
  int64_t size;           // bytes, as lsblk reports
  char mountpoint[4096];  // mount point, escapes decoded, NUL-terminated
};

// Both lists live on the heap and are never destroyed, not even by exit():
// a worker thread may still be reading them while another thread ends the
// process, and the records they point to stay reachable to the end.
extern std::vector<disk_info_t*>& g_disks;      // sorted by name; never freed
extern std::vector<volume_info_t*>& g_volumes;  // lsblk order; never freed
