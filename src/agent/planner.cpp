#include "agent/planner.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "agent/agent_state.h"
#include "agent/block_reader.h"
#include "agent/blockman.h"
#include "agent/config.h"
#include "agent/progress.h"
#include "agent/replies.h"
#include "agent/run_failures.h"
#include "agent/snapshot.h"
#include "agent/support/slog.h"

std::atomic<bool> planner_returned{false};  // written once by the worker, read by the loop thread

disk_plan_t plan_disk(const disk_info_t* disk, const std::vector<volume_info_t*>& volumes,
                      bool tail_send_enabled) {
  disk_plan_t plan;
  plan.has_tail_step = false;
  plan.tail_length = 0;

  std::vector<volume_info_t*> mine;
  for (volume_info_t* v : volumes) {
    if (v->device_index == disk->device_index) mine.push_back(v);
  }
  std::stable_sort(mine.begin(), mine.end(), [](const volume_info_t* a, const volume_info_t* b) {
    return a->offset < b->offset;
  });

  int64_t pos = 0;
  size_t next = 0;
  do {
    if (next < mine.size()) {
      volume_info_t* v = mine[next++];
      plan.sorted.push_back(v);
      if (plan.ranges.empty()) {
        if (v->offset > 0) plan.ranges.push_back({0, nullptr, v->offset});
      } else {
        const plan_range_t& last = plan.ranges.back();
        int64_t end = last.start + last.length;
        if (v->offset - end > 0) plan.ranges.push_back({end, nullptr, v->offset - end});
      }
      plan.ranges.push_back({v->offset, v, v->size});
      pos = v->offset + v->size;
    } else {
      plan.has_tail_step = true;
      plan.tail_length = disk->size - pos;
      if (tail_send_enabled) plan.ranges.push_back({pos, nullptr, plan.tail_length});
      pos = disk->size;
    }
  } while (pos < disk->size);
  return plan;
}

namespace {

bool path_exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// Reads a volume through a snapshot; a snapshot that cannot be made or never
// shows up is recorded as a gap of this run (the run then ends with status 1).
void send_volume_through_snapshot(const plan_range_t& r) {
  volume_info_t* v = r.volume;
  int minor = create_snap(v->name);
  if (minor < 0) {
    log_error("create snap for %s failed (%d); volume not read", v->name, minor);
    note_failed_range(v->name, v->device_index, v->offset, r.length, "snapshot not created");
    return;
  }
  std::string snap_path = get_snap_path(minor);
  log_info("create snap %s for %s\n", snap_path.c_str(), v->name);
  int waited = 0;
  while (!path_exists(snap_path.c_str())) {
    if (waited >= kSnapDeviceWaitSeconds) {
      log_error("snapshot device %s did not appear within %d s; volume %s not read",
                snap_path.c_str(), kSnapDeviceWaitSeconds, v->name);
      note_failed_range(v->name, v->device_index, v->offset, r.length,
                        "snapshot device never appeared");
      remove_snap(minor);
      return;
    }
    log_info("wait device\n");
    wf_sleep(1);
    waited++;
  }
  sync_send(nullptr, snap_path.c_str(), 0, static_cast<uint64_t>(r.length), v->device_index, v);
  remove_snap(minor);
}

bool disk_is_skipped(const disk_info_t* disk) { return skip_offline_enabled && disk->is_offline; }

// Bytes the plans of every disk cover (a "to the end" range counts the disk's size).
int64_t planned_bytes() {
  int64_t total = 0;
  for (const disk_info_t* disk : g_disks) {
    if (disk_is_skipped(disk)) continue;
    for (const plan_range_t& r : plan_disk(disk, g_volumes, tail_send_enabled).ranges) {
      total += r.length > 0 ? r.length : std::max<int64_t>(disk->size - r.start, 0);
    }
  }
  return total;
}

void send_disk(const disk_info_t* disk) {
  disk_plan_t plan = plan_disk(disk, g_volumes, tail_send_enabled);
  progress_set_disk(disk->name);
  for (const volume_info_t* v : plan.sorted) {
    log_info("sorted: Volume %s on disk %d, offset %lld, size %lld\n", v->name, v->device_index,
             static_cast<long long>(v->offset), static_cast<long long>(v->size));
  }
  if (plan.has_tail_step) log_info("tail length: %lld\n", static_cast<long long>(plan.tail_length));
  for (const plan_range_t& r : plan.ranges) {
    log_info("Plan: block\n%lld %lld v:%p\n", static_cast<long long>(r.start),
             static_cast<long long>(r.length), static_cast<void*>(r.volume));
  }
  for (const plan_range_t& r : plan.ranges) {
    log_info("block\n%lld %lld v:%p\n", static_cast<long long>(r.start),
             static_cast<long long>(r.length), static_cast<void*>(r.volume));
    if (r.volume == nullptr) {
      sync_send(nullptr, disk->name, static_cast<uint64_t>(r.start),
                static_cast<uint64_t>(r.length), disk->device_index, nullptr);
    } else if (allow_skip_snap) {
      sync_send(nullptr, r.volume->name, 0, static_cast<uint64_t>(r.length),
                r.volume->device_index, r.volume);
    } else {
      send_volume_through_snapshot(r);
    }
  }
  progress_report("disk read", unacker->get_length());
}

}  // namespace

void sync_read_block_to_async_send2(uv_work_t*) {
  wf_sleep(10);  // the connections opened at start-up complete meanwhile
  for (const volume_info_t* v : g_volumes) {
    log_info("Volume %s on disk %d, offset %lld, size %lld\n", v->name, v->device_index,
             static_cast<long long>(v->offset), static_cast<long long>(v->size));
  }
  progress_set_planned(planned_bytes());
  for (const disk_info_t* disk : g_disks) {
    if (disk_is_skipped(disk)) {
      log_info("skip offline disk");
      continue;
    }
    log_info("----\n");
    send_disk(disk);
  }
  wait_all_block_is_ack();
  progress_report("all acknowledged", unacker->get_length());
  log_info("all done\n");
  planner_returned = true;
}
