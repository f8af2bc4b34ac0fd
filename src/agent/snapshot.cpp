#include "agent/snapshot.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "agent/agent_state.h"
#include "agent/config.h"
#include "agent/disks.h"
#include "agent/proc_runner.h"
#include "agent/support/slog.h"

const char* snap_device_prefix = "/dev/datto";  // path prefix; tests change it first (test thread)
std::map<int, std::string> fake_snap_map;        // number -> volume path (worker thread)

namespace {

int last_minor = 0;  // last snapshot number handed out; never goes back (worker thread)

bool path_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string snap_control_tool_path_in(const char* exe_dir) {
  static const char kLocalTool[] = "./tools/dbdctl";
  if (path_exists(kLocalTool) || exe_dir == nullptr || exe_dir[0] == '\0') return kLocalTool;
  return std::string(exe_dir) + "kmod/tools/dbdctl";
}

std::string snap_control_tool_path() {
  char exe_dir[4096] = "";
  if (get_exe_path(exe_dir) != 0) exe_dir[0] = '\0';
  return snap_control_tool_path_in(exe_dir);
}

int create_snap(const char* volume_path) {
  // Numbers are taken before anything can fail, so a retry never reuses one.
  int n = ++last_minor;
  if (allow_skip_snap) {
    fake_snap_map[n] = volume_path ? volume_path : "";
    return 0;
  }
  if (volume_path == nullptr) return -EINVAL;

  // A device with this number may survive from an earlier process.
  std::string device = get_snap_path(n);
  if (path_exists(device)) {
    log_info("remove old\n");
    remove_snap(n);
    wf_sleep(2);
  } else {
    log_info("create new\n");
  }

  std::string cow = alloc_cow_file_on_volume(volume_path);
  if (cow.empty()) {
    log_error("snapshot %d: no mount point known for %s\n", n, volume_path);
    return -EINVAL;
  }
  char number[32];
  snprintf(number, sizeof number, "%d", n);
  std::string tool = snap_control_tool_path();
  log_info("%s setup-snapshot %s %s %s\n", tool.c_str(), volume_path, cow.c_str(), number);
  const char* args[] = {tool.c_str(), "setup-snapshot", "-f", "40000", volume_path,
                        cow.c_str(),  number,           nullptr};
  fflush(stdout);
  int r = run_passthrough(args);
  if (r < 0) {
    log_error("snapshot %d of %s: %s could not be started: %s\n", n, volume_path, tool.c_str(),
              run_strerror(r));
    return r;
  }
  if (r != 0) {
    // The device would never appear; a half-made one must not stay behind.
    log_error("snapshot %d of %s: setup-snapshot failed with exit status %d\n", n, volume_path, r);
    if (path_exists(device)) remove_snap(n);
    return kSnapSetupExitBase - r;
  }
  return n;
}

std::string get_snap_path(int minor) {
  if (allow_skip_snap) return fake_snap_map[minor];
  return std::string(snap_device_prefix) + std::to_string(minor);
}

int remove_snap(int minor) {
  if (allow_skip_snap) return 0;
  log_info("remove_snap %d\n", minor);
  char number[32];
  snprintf(number, sizeof number, "%d", minor);
  std::string tool = snap_control_tool_path();
  const char* args[] = {tool.c_str(), "destroy", number, nullptr};
  fflush(stdout);
  int r = run_passthrough(args);
  if (r < 0)
    log_error("remove_snap %d: %s could not be started: %s\n", minor, tool.c_str(),
              run_strerror(r));
  else if (r != 0)
    log_error("remove_snap %d: destroy exited with status %d\n", minor, r);
  return 0;
}

std::string alloc_cow_file_on_volume(const char* volume_path) {
  const char* mountpoint = get_mountpoint_by_device_volume_path(volume_path);
  if (mountpoint == nullptr) return "";
  // Kept as given: a volume mounted at "/" gets "//snapqcow2file".
  std::string cow = std::string(mountpoint) + "/snapqcow2file";
  printf("qcow2 file: %s\n", cow.c_str());
  fflush(stdout);
  return cow;
}

const char* get_mountpoint_by_device_volume_path(const char* volume_path) {
  if (volume_path == nullptr) return nullptr;
  for (const volume_info_t* v : g_volumes) {
    if (strcmp(v->name, volume_path) == 0) return v->mountpoint;
  }
  return nullptr;
}
