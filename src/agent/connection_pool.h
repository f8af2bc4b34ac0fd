// The pool of framed TCP streams to the replication server: connection
// attempts (shared by start-up and the supervisor), connect completion,
// control commands, buffer callbacks, closing streams and the total of bytes
// waiting in the streams' write queues. Loop thread only, except where noted.
#pragma once

#include <stddef.h>
#include <uv.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "proto/uv_msg_framing.h"

constexpr int kPoolTarget = 10;          // streams the agent keeps up
constexpr int kKeepAliveDelay = 60;      // seconds
constexpr int kReplyMaxFrame = 65536;    // replies are 40-byte frames; anything larger is refused

extern std::vector<uv_msg_t*> sockets;   // connected streams; changed on the loop thread only
extern std::mutex sockets_rw_lock;       // guards sockets, held while a pooled stream is written or closed

// Attempts started and not yet completed (loop thread only).
int pending_connection_attempts();

// Starts one connection attempt to dest_ptr; on_connect completes it.
// At start-up (`fatal` true) a failure prints the error on standard error and
// ends the process with status 1; otherwise uv_msg_init failure still ends the
// process, while a failed connect call is logged ("Connect error: %s\n") and
// the stream is closed and freed. Returns 0 or the libuv error.
int start_connection_attempt(bool fatal);

void on_connect(uv_connect_t* connect, int status);

// Closes a stream and frees it (and any receive buffer it holds) once the
// close has completed. The caller removes it from `sockets` first.
void close_and_free_stream(uv_msg_t* stream);

// Sends `payload` and its NUL as one frame on `socket`.
void send_ctrl_command(uv_msg_t* socket, std::string payload);

// Any thread: queues `payload` and its NUL and wakes the sender.
void send_ctrl_command_in_a_thread(std::string payload);

void on_msg_sent(send_message_t* req, int status);
void alloc_buffer(uv_handle_t* handle, size_t suggested_size, uv_buf_t* buf);
void free_buffer(uv_handle_t* handle, void* ptr);

// Any thread: bytes accepted for writing and not yet handed to the kernel,
// summed over the pool as last measured on the loop thread.
size_t count_pending_size();

// Loop thread: measures the pool's write queues again (after writes are
// started or completed and when the pool changes).
void refresh_pending_size();
