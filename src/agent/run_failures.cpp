#include "agent/run_failures.h"

#include <stdio.h>
#include <unistd.h>

#include <mutex>

#include "agent/support/slog.h"

namespace {
std::mutex g_failures_lock;               // guards g_failures
std::vector<failed_range_t> g_failures;   // appended by the worker, read by the loop thread
}  // namespace

void note_failed_range(const char* path, int devno, int64_t offset, int64_t length,
                       const char* why) {
  std::lock_guard<std::mutex> guard(g_failures_lock);
  if (!g_failures.empty()) {
    failed_range_t& last = g_failures.back();
    if (last.path == path && last.devno == devno && last.why == why && last.length >= 0 &&
        length >= 0 && last.offset + last.length == offset) {
      last.length += length;
      return;
    }
  }
  g_failures.push_back(failed_range_t{path, devno, offset, length, why});
}

size_t failed_range_count() {
  std::lock_guard<std::mutex> guard(g_failures_lock);
  return g_failures.size();
}

std::vector<failed_range_t> failed_ranges() {
  std::lock_guard<std::mutex> guard(g_failures_lock);
  return g_failures;
}

size_t log_failed_ranges() {
  std::vector<failed_range_t> all = failed_ranges();
  for (const failed_range_t& f : all) {
    if (f.length < 0) {
      log_info("not replicated: disk %d, %s from disk offset %lld, whole range (%s)", f.devno,
               f.path.c_str(), static_cast<long long>(f.offset), f.why.c_str());
    } else {
      log_info("not replicated: disk %d, %s from disk offset %lld, %lld bytes (%s)", f.devno,
               f.path.c_str(), static_cast<long long>(f.offset),
               static_cast<long long>(f.length), f.why.c_str());
    }
  }
  return all.size();
}

void clear_failed_ranges() {
  std::lock_guard<std::mutex> guard(g_failures_lock);
  g_failures.clear();
}

void end_process_now(int status) {
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}
