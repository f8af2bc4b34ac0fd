// Snapshot lifecycle: numbers, device paths, copy-on-write paths and the
// control tool's set-up and tear-down. Worker thread only, one at a time
// (the lookups of the volume list may be called from any thread).
#pragma once

#include <map>
#include <string>

// create_snap's result when the control tool ran but exited with status s
// (1..255, 128 + N for signal N): kSnapSetupExitBase - s, so always <= -1001.
// A tool that could not be started gives the runner's negative errno instead
// (> -1000). Either way no snapshot exists afterwards.
constexpr int kSnapSetupExitBase = -1000;

// Sets up a snapshot of `volume_path`; returns its number (1, 2, ...; each
// call takes the next number even when an earlier set-up failed), 0 with
// allow_skip_snap, or a negative value when the set-up failed (see above;
// -EINVAL when the volume has no known mount point). Failures are logged.
int create_snap(const char* volume_path);

// The device to read for snapshot `minor`: snap_device_prefix + the number,
// or with allow_skip_snap the volume path stored by create_snap ("" if none).
std::string get_snap_path(int minor);

// Tears snapshot `minor` down with the control tool; always 0 (a failure is
// logged). Does nothing with allow_skip_snap.
int remove_snap(int minor);

// The volume's mount point + "/snapqcow2file" (printed as "qcow2 file: ..."),
// or "" when `volume_path` is not a known volume.
std::string alloc_cow_file_on_volume(const char* volume_path);

// The mount point of the first g_volumes record named `volume_path`, or null.
const char* get_mountpoint_by_device_volume_path(const char* volume_path);

// The control tool to run: "./tools/dbdctl" when that file exists in the
// working directory (after an installation the agent works inside kmod),
// otherwise `exe_dir` + "kmod/tools/dbdctl" (exe_dir with trailing "/").
std::string snap_control_tool_path_in(const char* exe_dir);
// The same for the running executable's directory.
std::string snap_control_tool_path();

extern const char* snap_device_prefix;             // "/dev/datto"; tests change it before any snapshot (test thread)
extern std::map<int, std::string> fake_snap_map;  // number -> volume path, only with allow_skip_snap (worker thread)
