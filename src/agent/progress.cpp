#include "agent/progress.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "agent/support/slog.h"

namespace {

std::atomic<int64_t> g_planned{0};   // bytes; worker thread
std::atomic<int64_t> g_read{0};      // bytes; worker thread
std::atomic<int64_t> g_skipped{0};   // bytes; worker thread
std::atomic<int64_t> g_sent{0};      // bytes; worker thread
std::atomic<int64_t> g_acked{0};     // bytes; loop thread
std::atomic<double> g_first_read_s{-1.0};  // monotonic seconds of the first read; worker
std::mutex g_disk_lock;              // guards g_disk
std::string g_disk = "-";            // current device; worker thread

uv_timer_t g_progress_timer;         // loop thread
int (*g_unacked_count)() = nullptr;  // set once by progress_start_timer

const int kProgressPeriodMs = 10000;

double monotonic_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double mbps(int64_t bytes, double seconds) { return seconds > 0 ? bytes / 1e6 / seconds : 0.0; }

void on_progress_tick(uv_timer_t*) {
  progress_report("tick", g_unacked_count ? g_unacked_count() : 0);
}

}  // namespace

void progress_set_planned(int64_t bytes) { g_planned = bytes; }

void progress_set_disk(const char* name) {
  std::lock_guard<std::mutex> hold(g_disk_lock);
  g_disk = name;
}

void progress_add_read(int64_t bytes) {
  double unset = -1.0;
  g_first_read_s.compare_exchange_strong(unset, monotonic_s());
  g_read += bytes;
}

void progress_add_skipped(int64_t bytes) { g_skipped += bytes; }
void progress_add_sent(int64_t bytes) { g_sent += bytes; }
void progress_add_acked(int64_t bytes) { g_acked += bytes; }

progress_snapshot_t progress_snapshot(double now_s, int unacked_blocks) {
  progress_snapshot_t s;
  {
    std::lock_guard<std::mutex> hold(g_disk_lock);
    s.disk = g_disk;
  }
  s.planned = g_planned;
  s.read = g_read;
  s.skipped = g_skipped;
  s.sent = g_sent;
  s.acked = g_acked;
  s.unacked_blocks = unacked_blocks;
  double first = g_first_read_s;
  s.elapsed_s = first < 0 ? 0 : now_s - first;
  return s;
}

std::string progress_format(const progress_snapshot_t& s) {
  double read_rate = mbps(s.read, s.elapsed_s);
  double pct = s.planned > 0 ? 100.0 * s.read / s.planned : 0.0;
  if (pct > 100.0) pct = 100.0;
  long long eta = -1;
  if (read_rate > 0 && s.planned > 0) {
    int64_t left = s.planned > s.read ? s.planned - s.read : 0;
    eta = static_cast<long long>(left / 1e6 / read_rate + 0.5);
  }
  char line[512];
  snprintf(line, sizeof line,
           "disk=%s planned=%lld read=%lld skipped=%lld sent=%lld acked=%lld unacked_blocks=%d "
           "read_mbps=%.1f send_mbps=%.1f done_pct=%.1f eta_s=%lld",
           s.disk.c_str(), static_cast<long long>(s.planned), static_cast<long long>(s.read),
           static_cast<long long>(s.skipped), static_cast<long long>(s.sent),
           static_cast<long long>(s.acked), s.unacked_blocks, read_rate,
           mbps(s.sent, s.elapsed_s), pct, eta);
  return line;
}

void progress_report(const char* why, int unacked_blocks) {
  std::string line = progress_format(progress_snapshot(monotonic_s(), unacked_blocks));
  log_info("progress(%s) %s", why, line.c_str());
  if (isatty(STDERR_FILENO)) {
    // One live line: return to its start and clear to the end.
    fprintf(stderr, "\r\033[K%s", line.c_str());
    fflush(stderr);
  }
}

void progress_start_timer(uv_loop_t* loop, int (*unacked_count)()) {
  g_unacked_count = unacked_count;
  uv_timer_init(loop, &g_progress_timer);
  uv_timer_start(&g_progress_timer, on_progress_tick, kProgressPeriodMs, kProgressPeriodMs);
  // The timer must not keep the loop alive on its own.
  uv_unref(reinterpret_cast<uv_handle_t*>(&g_progress_timer));
}
