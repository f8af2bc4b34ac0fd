// The disk and volume inventory: whole disks from sysfs, mounted volumes from
// lsblk, their offsets from fdisk. Runs on the main thread during start-up;
// the parsers below are pure and may be called from any thread.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "agent/disks.h"

// Appends one record per disk under `sysfs_block_dir`, sorts by name and numbers
// them. Sizes come from the device (BLKGETSIZE64), or from the entry's sysfs
// "size" when the device cannot be opened or measured (-1 when neither works).
// Returns 0, or 1 when the directory cannot be opened. A device path that does
// not fit `name` prints "block path > 64 " and aborts the process.
int query_disks(std::vector<disk_info_t*>& disks, const char* sysfs_block_dir = "/sys/block");

// Appends one record per mounted volume from the lsblk listing. A volume whose
// place on a listed disk cannot be established (not a partition of it, disk not
// in `disks`, names too long for the record) is left out with a log line: its
// bytes are then read with the raw disk. Returns 0; -1 when lsblk could not be
// run or failed (no volumes are added then).
int query_volumes(std::vector<disk_info_t*>& disks, std::vector<volume_info_t*>& volumes,
                  const char* mounts_file = "/proc/mounts");

// Byte offset of `volume` on disk `dev` from fdisk's listing: 0 when they are
// the same device (fdisk is not run), -1 when the volume is not a partition in
// the listing. The start sector is scaled by the listing's "Units" line, or by
// `sector_size` when the listing has none.
int64_t get_volume_offset_on_disk(const char* volume, const char* dev, int sector_size = 512);

// True unless `path` is mounted read-write according to `mounts_file` (also
// true when the file cannot be read).
bool check_is_ro_mount(const char* path, const char* mounts_file = "/proc/mounts");

// Size of a block device in bytes, or -1.
int64_t get_disk_size(const char* dev);

// device_index of the first disk named `path`, or 0.
int device_path_to_index(std::vector<disk_info_t*>& disks, const char* path);

bool diskcmp(const disk_info_t* a, const disk_info_t* b);

// Whole-GiB sizes of a fresh inventory, in disk order (an unreadable disk counts 0).
std::vector<int> get_disk_sizes();

// Whole-GiB size of each disk, truncated toward zero (-1 gives 0).
std::vector<int> disk_sizes_in_gib(const std::vector<disk_info_t*>& disks);

// --- parsers of captured text (no I/O) ---

// One line of the lsblk listing that carries a mount point.
struct lsblk_mount_t {
  std::string kname;       // kernel name of the mounted device
  std::string disk;        // kernel name of the last "disk" line before it ("" if none)
  std::string mountpoint;  // with lsblk's \xHH escapes decoded
  int64_t size;            // bytes (0 when not a number)
  int log_sec;             // logical sector size in bytes (512 when not a number)
};

// The mounted devices of a `lsblk -r -b -n --output
// KNAME,TYPE,MOUNTPOINT,FSTYPE,MAJ:MIN,SIZE,LOG-SEC` listing, in listing order.
std::vector<lsblk_mount_t> parse_lsblk_listing(const std::string& listing);

// Start of `volume` in bytes in an `fdisk -l` listing (with or without
// --bytes), or -1 when no partition line names it. Sectors are scaled by the
// "Units" line, else by `sector_size`.
int64_t parse_fdisk_offset(const std::string& listing, const char* volume, int sector_size = 512);

// Whether /proc/mounts text mounts `path` read-write (octal escapes decoded).
bool mounts_text_has_rw(const std::string& mounts, const char* path);

// Decoders of the two escape styles: lsblk -r writes "\x20", /proc/mounts "\040".
std::string decode_hex_escapes(const std::string& s);
std::string decode_octal_escapes(const std::string& s);
