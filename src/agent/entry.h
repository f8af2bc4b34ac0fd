// The agent's entry: start-up, command dispatch (one-shot commands end the
// process here) and the small callbacks the transfer start-up hands to the
// loop. agent_main and parse_args run on the main thread before the loop;
// signal_handler and after_stub run on the loop thread.
#pragma once

#include <uv.h>

// Start-up: ignore SIGHUP, open the log, read user.json, open the ledger,
// dispatch the command line, then start_transfer(). Returns the exit status.
int agent_main(int argc, char** argv);

// Ends the process for every one-shot command and for an unusable server
// address; returns only in transfer mode, with the run state set.
void parse_args(int argc, char** argv);

// Points dest_ptr at dest6 when `addr` holds a ":" (logging "use IPv6"), else
// at dest4 ("use IPv4"), and converts `addr` with port 3389 into it. Returns
// libuv's result: 0, or UV_EINVAL when `addr` is not a literal address.
int set_server_address(const char* addr);

// 1 when the arguments are exactly <address> "incremental", else 0.
int wants_incremental(int argc, char** argv);

// SIGINT watcher callback: reports the signal and ends the process at once
// with status 0.
void signal_handler(uv_signal_t* handle, int signum);

// After-work callback of the planner's request; `req` was allocated with new.
void after_stub(uv_work_t* req, int status);
