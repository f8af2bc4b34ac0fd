#include "agent/support/slog.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

struct slog_config_t {
  FILE* file = nullptr;
  pthread_mutex_t lock;
  int threshold = 3;
  int opened = 0;
  char path[260] = "";
};

slog_config_t g_logger_cfg;  // written once by init_logger (main thread, before other threads), then read-only

const size_t kTextLimit = 4095;  // snprintf limit: at most 4094 characters remain

void _slog_init_mutex() { pthread_mutex_init(&g_logger_cfg.lock, nullptr); }
void _slog_lock() { pthread_mutex_lock(&g_logger_cfg.lock); }
void _slog_unlock() { pthread_mutex_unlock(&g_logger_cfg.lock); }

// The trace flag's writer: it captures no frames, so it writes nothing.
void _write_stacktrace() {}

void _get_curr_date(char* out, size_t n) {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  snprintf(out, n, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
}

void _get_curr_time(char* out, size_t n) {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  snprintf(out, n, "%04d/%02d/%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
           t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

int _slog_mkdir(const char* dir) {
  struct stat st;
  if (stat(dir, &st) == 0) return 0;
  return mkdir(dir, 0744);
}

}  // namespace

const char* _get_level_str(int level) {
  switch (level) {
    case S_TRACE: return "[TRACE]";
    case S_DEBUG: return "[DEBUG]";
    case S_INFO: return "[INFO ]";
    case S_WARN: return "[WARN ]";
    case S_ERROR: return "[ERROR]";
    default: return "[     ]";
  }
}

const char* slog_file_path() { return g_logger_cfg.path; }

int init_logger(const char* dir, int level) {
  if (g_logger_cfg.opened) return 1;
  if (_slog_mkdir(dir) != 0) return 0;
  _slog_init_mutex();
  char date[32];
  _get_curr_date(date, sizeof date);
  char path[259];
  snprintf(path, sizeof path, "%s/%s.log", dir, date);
  // "e": close-on-exec, so the tools the agent starts do not inherit the log.
  FILE* f = fopen(path, "a+e");
  if (!f) return 0;
  g_logger_cfg.file = f;
  snprintf(g_logger_cfg.path, sizeof g_logger_cfg.path, "%s", path);
  g_logger_cfg.threshold = level;
  g_logger_cfg.opened = 1;
  return 1;
}

void write_log(int level, int trace, const char* func, int line, const char* fmt, ...) {
  if (static_cast<unsigned>(level) < static_cast<unsigned>(g_logger_cfg.threshold)) return;
  if (!g_logger_cfg.opened) return;

  char message[4096];
  message[0] = '\0';  // stays empty if the format itself fails
  va_list args;
  va_start(args, fmt);
  vsnprintf(message, kTextLimit, fmt, args);
  va_end(args);

  char stamp[64];
  _get_curr_time(stamp, sizeof stamp);

  char record[4096];
  int n = snprintf(record, kTextLimit, "%s %s %s:%d -| %s\n", _get_level_str(level), stamp,
                   func, line, message);
  if (n < 0) return;
  size_t len = strlen(record);

  _slog_lock();
  fwrite(record, 1, len, g_logger_cfg.file);
  if (trace == 1) _write_stacktrace();
  fflush(g_logger_cfg.file);
  _slog_unlock();
}
