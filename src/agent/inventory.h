// The disk and volume inventory: whole disks from sysfs, mounted volumes from
// lsblk, their offsets from fdisk. Runs on the main thread during start-up.
#pragma once

#include <stdint.h>

#include <vector>

#include "agent/disks.h"

// Appends one record per disk under `sysfs_block_dir`, sorts by name and numbers
// them. Returns 0, or 1 when the directory cannot be opened.
int query_disks(std::vector<disk_info_t*>& disks, const char* sysfs_block_dir = "/sys/block");

// Appends one record per mounted volume from the lsblk listing. Returns 0.
int query_volumes(std::vector<disk_info_t*>& disks, std::vector<volume_info_t*>& volumes);

// Byte offset of `volume` on disk `dev` from fdisk's listing (0 when not found).
int64_t get_volume_offset_on_disk(const char* volume, const char* dev);

// True unless `path` is mounted read-write according to `mounts_file`.
bool check_is_ro_mount(const char* path, const char* mounts_file = "/proc/mounts");

// Size of a block device in bytes, or -1.
int64_t get_disk_size(const char* dev);

// device_index of the first disk named `path`, or 0.
int device_path_to_index(std::vector<disk_info_t*>& disks, const char* path);

bool diskcmp(const disk_info_t* a, const disk_info_t* b);

// Whole-GiB sizes of a fresh inventory, in disk order (an unreadable disk counts 0).
std::vector<int> get_disk_sizes();
