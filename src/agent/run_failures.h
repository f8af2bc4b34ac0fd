// Ranges of the source that this run could not replicate (unreadable blocks,
// volumes whose snapshot never appeared). The worker thread records them while
// it reads; the supervisor reads them when it ends the run, so that a run with
// gaps ends with status 1 instead of 0. Any thread may call; one internal mutex.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct failed_range_t {
  std::string path;  // device that was read (disk, volume or snapshot)
  int devno;         // disk number on the wire
  int64_t offset;    // first byte, in disk coordinates
  int64_t length;    // bytes; -1 when the whole volume or range is missing
  std::string why;   // short cause ("read error 5", "snapshot device never appeared")
};

// Records one range; a range that continues the last one of the same device
// path and cause is merged into it, so a run of bad blocks is one entry.
void note_failed_range(const char* path, int devno, int64_t offset, int64_t length,
                       const char* why);

size_t failed_range_count();
std::vector<failed_range_t> failed_ranges();

// One log line per recorded range (worded for an operator). Returns the count.
size_t log_failed_ranges();

// Forgets every recorded range (tests only).
void clear_failed_ranges();

// Ends the process at once with `status` after flushing standard output and
// error; for fatal errors met on a worker thread while the loop still runs
// (static destructors must not run under the other threads' feet). Every log
// line is already on disk because the log writer flushes each line.
[[noreturn]] void end_process_now(int status);
