// The framing layer's read-path steps, exposed so tests and the fuzzer can
// drive them with chosen byte sequences without a socket. Loop thread only.
#pragma once

#include "proto/uv_msg_framing.h"

// libuv allocation callback: offers free space, never past a known frame's end.
void uv_stream_msg_alloc(uv_handle_t* handle, size_t suggested_size, uv_buf_t* out);
// libuv read callback: delivers whole frames, reports errors and corruption.
void uv_stream_msg_read(uv_stream_t* stream, ssize_t nread, const uv_buf_t* b);
// Grows buf to `wanted` bytes keeping the held bytes. 1 on success, 0 on failure
// (the old buffer is kept).
int uv_stream_msg_realloc(uv_msg_t* stream, size_t wanted);
// Hands buf back through free_cb and returns the stream to idle.
void uv_stream_msg_free_buffer(uv_msg_t* stream);
