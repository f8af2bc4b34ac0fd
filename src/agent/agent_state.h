// Process-wide state of a transfer run, owned by the entry module. Written by
// parse_args / main on the main thread before the loop and the worker start;
// read afterwards without locks (except the two atomics).
#pragma once

#include <netinet/in.h>
#include <uv.h>

#include <atomic>

extern uv_loop_t* loop;                    // the default loop; every handle lives on it
extern const char* remote_server_ip;       // argv[1] as typed
extern const char* remote_ip;              // ledger REMOTE_ID of this server (same text)
extern struct sockaddr_in dest4;           // server address when IPv4 (port 3389)
extern struct sockaddr_in6 dest6;          // server address when IPv6 (port 3389)
extern const struct sockaddr* dest_ptr;    // points at dest4 or dest6
extern int incremental_mode;               // 1 when started with the word "incremental"
extern std::atomic<bool> all_done;         // set by the worker, read by the supervisor tick
extern std::atomic<bool> server_incremental_data_fsync;  // set by replies, read by the worker
extern uv_async_t async_send_block;        // wakes the sender for block messages
extern uv_async_t async_send_message;      // wakes the sender for control commands

constexpr int kServerPort = 3389;

// Writes the executable's directory, with a trailing "/", into `out`
// (4096 bytes). Returns 0; -1 leaves `out` untouched.
int get_exe_path(char* out);

// Blocks the calling thread for whole seconds (one sleep; callers pass 1 or 10).
void wf_sleep(int seconds);
