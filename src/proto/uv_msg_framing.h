// Length-prefixed framing on libuv streams: every message between agent and
// server is a 4-byte big-endian length followed by that many payload bytes.
// The layer reassembles incoming bytes into whole messages whatever the read
// boundaries, and bounds what a peer can make it allocate.
// Loop thread only: libuv stream functions are not thread-safe.
#pragma once

#include <stdint.h>
#include <uv.h>

typedef struct uv_msg_s uv_msg_t;
typedef struct uv_msg_send_s uv_msg_send_t;
typedef struct send_message_s send_message_t;

// Releases an accumulation buffer that alloc_cb handed out.
typedef void (*uv_free_cb)(uv_handle_t* handle, void* ptr);
// One whole message: `msg` points into the layer's buffer and is valid only
// during the call. On an error `msg` is null and `size` holds the negative
// libuv code (UV_EOF, UV_ENOBUFS, UV_EPROTO for a corrupt stream, ...).
typedef void (*uv_msg_read_cb)(uv_msg_t* stream, void* msg, int size);
// Releases a payload after send_message's write.
typedef void (*uv_free_fn)(void* ptr);
typedef void (*send_message_cb)(send_message_t* req, int status);

// Default largest payload a stream accepts (64 KiB) until
// uv_msg_set_max_frame says otherwise.
#define UV_MSG_DEFAULT_MAX_FRAME 65536
// Largest length field that is representable at all: L + 4 must fit an int.
#define UV_MSG_ABSOLUTE_MAX_FRAME (INT32_MAX - 4)

struct uv_msg_s {
  // The handle comes first so a uv_msg_t* serves wherever libuv expects the
  // stream or the handle; `data` aliases the handle's user pointer.
  union {
    uv_tcp_t tcp;
    uv_pipe_t pipe;
    void* data;
  };
  char* buf;        // accumulation buffer; null when none is held
  int alloc_size;   // capacity of buf, bytes
  int filled;       // received bytes held at the front of buf, not yet delivered
  uv_alloc_cb alloc_cb;
  uv_free_cb free_cb;  // may be null: the layer then never releases a buffer
  uv_msg_read_cb msg_read_cb;
  int max_frame;    // largest accepted length field, bytes; longer = corrupt stream
};

struct uv_msg_send_s {
  union {
    uv_write_t req;
    void* data;
  };
  uv_buf_t buf[2];  // length prefix, payload
  int msg_size;     // prefix in network order; lives here until the write completes
};

struct send_message_s {
  union {
    uv_msg_send_t req;
    void* data;  // caller's user data
  };
  void* msg;
  uv_free_fn free_fn;  // releases msg after the write; null: the caller keeps it
  send_message_cb msg_send_cb;  // may be null
};

// As free_fn of send_message: copy the payload now, free the copy after the write.
#define SEND_MESSAGE_COPY ((uv_free_fn)(intptr_t)-1)

// stream_type UV_TCP or UV_NAMED_PIPE (no IPC); anything else is UV_EINVAL.
// On success the stream is idle, without callbacks, with the default maximum
// frame size. A libuv init error is returned with the fields untouched.
int uv_msg_init(uv_loop_t* loop, uv_msg_t* handle, int stream_type);

// Sets the largest payload length this stream accepts (1 .. UV_MSG_ABSOLUTE_MAX_FRAME;
// values outside are clamped). A frame announcing more is treated as corrupt.
void uv_msg_set_max_frame(uv_msg_t* stream, int max_payload);

// Writes msg as one frame without copying it: `req` and `msg` stay the
// caller's and must stay valid until write_cb runs. UV_EINVAL (no callback)
// for a null argument or size <= 0; otherwise uv_write's result.
int uv_msg_send(uv_msg_send_t* req, uv_msg_t* socket, void* msg, int size,
                uv_write_cb write_cb);

// Stores the callbacks and starts reading. Delivers each whole frame to
// msg_read_cb; reports read errors, end of stream and corrupt framing
// (UV_EPROTO: zero, negative or over-limit length) as msg_read_cb(stream,
// null, error) after discarding held bytes. The layer never stops or closes
// the stream itself: on an error the user should close it.
int uv_msg_read_start(uv_msg_t* stream, uv_alloc_cb alloc_cb,
                      uv_msg_read_cb msg_read_cb, uv_free_cb free_cb);

// Writes msg as one frame with a request of its own. free_fn: null (caller
// keeps msg), SEND_MESSAGE_COPY (copied now), or a function that takes over
// msg from the call on. Returns 0, UV_ENOMEM, or uv_msg_send's error. On any
// non-zero result no callback follows and everything the call took over or
// made (request, copy, msg with an owning free_fn) has been released.
int send_message(uv_msg_t* socket, char* msg, int size, uv_free_fn free_fn,
                 send_message_cb send_cb, void* user_data);

// New malloc block with `size` bytes of src; null when src is null, size <= 0
// or memory is short.
void* memdup(const void* src, int size);
