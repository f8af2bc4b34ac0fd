// One agent connection: accepting it, reading frames, telling message kinds
// apart, pausing reads while too much of its work is pending, and closing it
// with a logged reason. Loop thread only.
#pragma once

#include <string>

#include "server/server_state.h"

// Listener callback: accepts one connection and starts reading it.
void on_new_connection(uv_stream_t* listener, int status);

// Closes at once (pending replies are dropped) and logs `reason`. Harmless
// when the connection is already closing.
void conn_close(conn_t* c, const std::string& reason);

// Stops reading; once running jobs and replies are done the connection is
// shut down and closed with `reason`.
void conn_drain(conn_t* c, const std::string& reason);

// Starts or stops reading to match the connection's limits; also moves a
// draining connection on when it has nothing left. Call after any change.
void conn_update(conn_t* c);

// Resumes connections paused for memory once usage is back under the mark.
void server_resume_paused(server_t* srv);

// The peer address without the port, IPv4-mapped IPv6 shown as IPv4. Returns
// 0, or -1 when the socket has no peer.
int peer_address(uv_tcp_t* tcp, std::string* address, int* port);

// Releases the record once its handle is closed and nothing refers to it
// any more (jobs, timers, reply writes).
void conn_release_check(conn_t* c);
