// The transfer planner: cuts each disk into an ordered list of raw ranges and
// volume ranges and hands them, one at a time, to the block reader; then waits
// for every acknowledgement. plan_disk is pure (any thread, used by tests);
// sync_read_block_to_async_send2 runs once, on the one libuv worker thread.
#pragma once

#include <stdint.h>
#include <uv.h>

#include <atomic>
#include <vector>

#include "agent/disks.h"

struct plan_range_t {
  int64_t start;           // byte offset from the start of the disk
  volume_info_t* volume;   // the volume this range is; null for a raw range
  int64_t length;          // bytes
};

struct disk_plan_t {
  std::vector<plan_range_t> ranges;       // read in this order
  std::vector<volume_info_t*> sorted;     // the disk's volumes that were planned, by offset
  bool has_tail_step;                     // the plan reached the part after the last volume
  int64_t tail_length;                    // its length (meaningful when has_tail_step)
};

// The plan of `disk` given every volume of the inventory (those of other disks
// are ignored). Raw gaps before and between volumes are always planned; the
// tail after the last volume only when `tail_send_enabled`.
disk_plan_t plan_disk(const disk_info_t* disk, const std::vector<volume_info_t*>& volumes,
                      bool tail_send_enabled);

// Longest wait for a snapshot device to appear, in seconds.
constexpr int kSnapDeviceWaitSeconds = 60;

// Set by the worker as the planner's very last step, after all_done: the
// supervisor ends the process only then, so no exit handler runs while the
// worker still logs. Read by the loop thread.
extern std::atomic<bool> planner_returned;

// Work callback queued once by start_transfer: 10 s pause, then every disk of
// g_disks in order, then wait_all_block_is_ack(). `req` is not used.
void sync_read_block_to_async_send2(uv_work_t* req);
