#include "agent/agent_state.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "agent/config.h"

// Settings: written only by readStrJson on the main thread before other threads start.
bool tail_send_enabled = true;      // flag; main thread at start-up
bool skip_offline_enabled = false;  // flag; main thread at start-up
bool allow_skip_snap = false;       // flag; main thread at start-up

uv_loop_t* loop = nullptr;
const char* remote_server_ip = nullptr;
const char* remote_ip = nullptr;
struct sockaddr_in dest4;
struct sockaddr_in6 dest6;
const struct sockaddr* dest_ptr = nullptr;
int incremental_mode = 0;
std::atomic<bool> all_done{false};
std::atomic<bool> server_incremental_data_fsync{false};
uv_async_t async_send_block;
uv_async_t async_send_message;

int get_exe_path(char* out) {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  if (n < 0) return -1;
  if (n > 4095) {
    errno = ENAMETOOLONG;  // the link text may have been cut
    return -1;
  }
  buf[n] = '\0';
  char* slash = strrchr(buf, '/');
  if (slash) slash[1] = '\0';
  memcpy(out, buf, strlen(buf) + 1);
  return 0;
}

void wf_sleep(int seconds) {
  // 32-bit arithmetic as callers expect; they pass 1 or 10.
  usleep(static_cast<useconds_t>(static_cast<int>(seconds * 1000000)));
}
