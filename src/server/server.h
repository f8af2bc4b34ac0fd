// The replication server as a library: listens, accepts agents' connections,
// writes their blocks into images and answers each one. The executable and
// the tests both drive it through these calls. Loop thread only, except
// server_request_stop.
#pragma once

#include <uv.h>

#include <string>

#include "server/server_options.h"

struct server_t;

server_t* server_new();
// Releases the record; only after the loop has finished (or start failed).
void server_free(server_t* srv);

// Creates the root directory when missing, binds every listen address and
// starts accepting on `loop`. With `handle_signals` SIGINT and SIGTERM start
// an orderly stop. Returns 0, or -1 with the reason in `error` (nothing is
// left open on the loop then).
int server_start(server_t* srv, uv_loop_t* loop, const server_options_t& opts,
                 bool handle_signals, std::string* error);

// Port of the first listening socket (useful with port 0); -1 when none.
int server_port(const server_t* srv);

// Orderly stop: stop accepting and reading, let running jobs finish and their
// acknowledgements go out, fsync every image, close everything; the loop then
// runs out. Loop thread.
void server_begin_stop(server_t* srv);

// server_begin_stop from any thread.
void server_request_stop(server_t* srv);

// 0 after a clean stop; 1 when the final sync of some image failed.
int server_exit_status(const server_t* srv);
