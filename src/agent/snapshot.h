// Snapshot lifecycle: numbers, device paths, copy-on-write paths and the
// control tool's set-up and tear-down. Worker thread only, one at a time.
#pragma once

#include <string>

// Sets up a snapshot of `volume_path`; returns its number (1, 2, ...), 0 with
// allow_skip_snap, or a negative value when the set-up failed.
int create_snap(const char* volume_path);
std::string get_snap_path(int minor);
int remove_snap(int minor);
std::string alloc_cow_file_on_volume(const char* volume_path);
const char* get_mountpoint_by_device_volume_path(const char* volume_path);
