#include "server/server_log.h"

#include <stdarg.h>
#include <string.h>
#include <time.h>

#include <mutex>

namespace {

std::mutex g_log_lock;      // orders whole lines; taken by every logging thread
FILE* g_log_file = nullptr;  // null = stderr; written by server_log_open/close (main thread)

}  // namespace

int server_log_open(const char* path) {
  std::lock_guard<std::mutex> guard(g_log_lock);
  if (path == nullptr || path[0] == '\0') return 0;
  FILE* f = fopen(path, "a");
  if (f == nullptr) return -1;
  if (g_log_file != nullptr) fclose(g_log_file);
  g_log_file = f;
  return 0;
}

void server_log_close() {
  std::lock_guard<std::mutex> guard(g_log_lock);
  if (g_log_file != nullptr) fclose(g_log_file);
  g_log_file = nullptr;
}

void server_write_log(int level, const char* func, int line, const char* fmt, ...) {
  char message[4096];
  va_list args;
  va_start(args, fmt);
  vsnprintf(message, sizeof message, fmt, args);
  va_end(args);

  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  const char* tag = level >= SRV_ERROR ? "[ERROR]" : "[INFO ]";

  std::lock_guard<std::mutex> guard(g_log_lock);
  FILE* out = g_log_file != nullptr ? g_log_file : stderr;
  fprintf(out, "%s %04d/%02d/%02d %02d:%02d:%02d %s:%d -| %s\n", tag, t.tm_year + 1900,
          t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, func, line, message);
  fflush(out);
}
