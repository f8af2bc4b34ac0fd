// Progress of a transfer run for operators: counters that the worker, the
// block threads and the loop thread bump (all atomics), and one stable
// key=value line built from them, logged every 10 s and at the end of each
// disk, and mirrored as a live line on standard error when it is a terminal.
#pragma once

#include <stdint.h>
#include <uv.h>

#include <string>

struct progress_snapshot_t {
  std::string disk;        // device being read ("-" before the first)
  int64_t planned = 0;     // bytes the plan of every disk covers
  int64_t read = 0;        // bytes read from devices
  int64_t skipped = 0;     // bytes skipped as unchanged (acknowledged before)
  int64_t sent = 0;        // bytes handed over for sending (block bytes, uncompressed)
  int64_t acked = 0;       // bytes acknowledged by the server in this run
  int unacked_blocks = 0;  // blocks held until acknowledged
  double elapsed_s = 0;    // seconds since the first block was read
};

// Worker thread.
void progress_set_planned(int64_t bytes);
void progress_set_disk(const char* name);
void progress_add_read(int64_t bytes);
void progress_add_skipped(int64_t bytes);
void progress_add_sent(int64_t bytes);
// Loop thread.
void progress_add_acked(int64_t bytes);

// Current counters; `now_s` is a monotonic time in seconds.
progress_snapshot_t progress_snapshot(double now_s, int unacked_blocks);

// "disk=sdx planned=... read=... skipped=... sent=... acked=... unacked_blocks=...
//  read_mbps=... send_mbps=... done_pct=... eta_s=..." (MB = 10^6 bytes; eta_s -1 when unknown).
std::string progress_format(const progress_snapshot_t& s);

// Logs the line (and redraws the terminal line); any thread.
void progress_report(const char* why, int unacked_blocks);

// Starts the 10 s progress timer on `loop` (loop thread).
void progress_start_timer(uv_loop_t* loop, int (*unacked_count)());
