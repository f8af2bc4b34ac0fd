// Framing on libuv streams: the write of one frame and the read path that
// turns arbitrary read boundaries back into whole messages.
#include "proto/uv_msg_framing.h"

#include <arpa/inet.h>
#include <string.h>

#include "proto/uv_msg_framing_internal.h"

namespace {

constexpr int kPrefixSize = 4;
constexpr size_t kFirstBufferSize = 65536;

int32_t read_length(const char* p) {
  uint32_t n;
  memcpy(&n, p, sizeof n);
  return static_cast<int32_t>(ntohl(n));
}

// A length is acceptable when it is positive and within this stream's limit;
// the limit itself keeps L + 4 inside an int.
bool length_ok(const uv_msg_t* s, int32_t len) {
  return len > 0 && len <= s->max_frame;
}

int clamp_capacity(size_t len) {
  return len > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(len);
}

uv_buf_t ask_alloc_cb(uv_msg_t* s, size_t wanted) {
  uv_buf_t b = uv_buf_init(nullptr, 0);
  s->alloc_cb(reinterpret_cast<uv_handle_t*>(s), wanted, &b);
  return b;
}

}  // namespace

int uv_msg_init(uv_loop_t* loop, uv_msg_t* handle, int stream_type) {
  int rc;
  if (stream_type == UV_TCP) {
    rc = uv_tcp_init(loop, &handle->tcp);
  } else if (stream_type == UV_NAMED_PIPE) {
    rc = uv_pipe_init(loop, &handle->pipe, 0);
  } else {
    return UV_EINVAL;
  }
  if (rc != 0) return rc;
  handle->buf = nullptr;
  handle->alloc_size = 0;
  handle->filled = 0;
  handle->alloc_cb = nullptr;
  handle->free_cb = nullptr;
  handle->msg_read_cb = nullptr;
  handle->data = nullptr;
  handle->max_frame = UV_MSG_DEFAULT_MAX_FRAME;
  return 0;
}

void uv_msg_set_max_frame(uv_msg_t* stream, int max_payload) {
  if (max_payload < 1) max_payload = 1;
  if (max_payload > UV_MSG_ABSOLUTE_MAX_FRAME) max_payload = UV_MSG_ABSOLUTE_MAX_FRAME;
  stream->max_frame = max_payload;
}

int uv_msg_send(uv_msg_send_t* req, uv_msg_t* socket, void* msg, int size,
                uv_write_cb write_cb) {
  if (req == nullptr || socket == nullptr || msg == nullptr || size <= 0) return UV_EINVAL;
  req->msg_size = static_cast<int>(htonl(static_cast<uint32_t>(size)));
  req->buf[0] = uv_buf_init(reinterpret_cast<char*>(&req->msg_size), kPrefixSize);
  req->buf[1] = uv_buf_init(static_cast<char*>(msg), static_cast<unsigned>(size));
  // One request, two buffers: libuv writes them back to back and keeps the
  // requests of a stream in order, so frames never interleave.
  return uv_write(&req->req, reinterpret_cast<uv_stream_t*>(socket), req->buf, 2, write_cb);
}

int uv_msg_read_start(uv_msg_t* stream, uv_alloc_cb alloc_cb, uv_msg_read_cb msg_read_cb,
                      uv_free_cb free_cb) {
  if (stream == nullptr || alloc_cb == nullptr || msg_read_cb == nullptr) return UV_EINVAL;
  stream->alloc_cb = alloc_cb;
  stream->msg_read_cb = msg_read_cb;
  stream->free_cb = free_cb;
  return uv_read_start(reinterpret_cast<uv_stream_t*>(stream), uv_stream_msg_alloc,
                       uv_stream_msg_read);
}

void uv_stream_msg_free_buffer(uv_msg_t* s) {
  if (s->free_cb != nullptr) s->free_cb(reinterpret_cast<uv_handle_t*>(s), s->buf);
  s->buf = nullptr;
  s->alloc_size = 0;
  s->filled = 0;
}

int uv_stream_msg_realloc(uv_msg_t* s, size_t wanted) {
  uv_buf_t b = ask_alloc_cb(s, wanted);
  if (b.base == nullptr) return 0;
  if (b.len < wanted) {
    // Too short to use: hand it straight back rather than leak it.
    if (s->free_cb != nullptr) s->free_cb(reinterpret_cast<uv_handle_t*>(s), b.base);
    return 0;
  }
  if (s->filled > 0) memcpy(b.base, s->buf, static_cast<size_t>(s->filled));
  if (s->buf != nullptr && s->free_cb != nullptr) {
    s->free_cb(reinterpret_cast<uv_handle_t*>(s), s->buf);
  }
  s->buf = b.base;
  s->alloc_size = clamp_capacity(b.len);
  return 1;
}

void uv_stream_msg_alloc(uv_handle_t* handle, size_t suggested_size, uv_buf_t* out) {
  uv_msg_t* s = reinterpret_cast<uv_msg_t*>(handle);
  *out = uv_buf_init(nullptr, 0);  // an empty buffer makes libuv report UV_ENOBUFS
  if (s->buf == nullptr) {
    uv_buf_t b = ask_alloc_cb(s, suggested_size);
    if (b.base == nullptr) return;
    s->buf = b.base;
    s->alloc_size = clamp_capacity(b.len);
    s->filled = 0;
  }
  if (s->filled < kPrefixSize) {
    if (s->alloc_size < kPrefixSize && !uv_stream_msg_realloc(s, kFirstBufferSize)) return;
    // Length not known yet: take what comes, possibly several frames.
    *out = uv_buf_init(s->buf + s->filled, static_cast<unsigned>(s->alloc_size - s->filled));
    return;
  }
  int32_t len = read_length(s->buf);
  // The read step rejects bad lengths before we get here; refuse anyway so a
  // lowered limit never leads to a huge allocation.
  if (!length_ok(s, len)) return;
  int need = len + kPrefixSize;
  if (s->alloc_size < need && !uv_stream_msg_realloc(s, static_cast<size_t>(need))) return;
  if (need <= s->filled) return;
  // Length known: never read past this frame's end, so the buffer grows at
  // most once per frame and the next frame starts a fresh buffer.
  *out = uv_buf_init(s->buf + s->filled, static_cast<unsigned>(need - s->filled));
}

void uv_stream_msg_read(uv_stream_t* stream, ssize_t nread, const uv_buf_t* /*b*/) {
  uv_msg_t* s = reinterpret_cast<uv_msg_t*>(stream);
  if (nread < 0) {
    uv_stream_msg_free_buffer(s);
    s->msg_read_cb(s, nullptr, static_cast<int>(nread));
    return;
  }
  if (nread == 0) {
    if (s->filled == 0) uv_stream_msg_free_buffer(s);
    return;
  }
  s->filled += static_cast<int>(nread);

  char* cursor = s->buf;
  int delivered = 0;
  while (s->filled >= kPrefixSize) {
    int32_t len = read_length(cursor);
    if (!length_ok(s, len)) {
      // Nothing after a bad length can be trusted to start a frame: drop it
      // all and let the user close the connection.
      uv_stream_msg_free_buffer(s);
      s->msg_read_cb(s, nullptr, UV_EPROTO);
      return;
    }
    if (s->filled < len + kPrefixSize) break;
    s->msg_read_cb(s, cursor + kPrefixSize, len);
    cursor += len + kPrefixSize;
    s->filled -= len + kPrefixSize;
    ++delivered;
    if (uv_is_closing(reinterpret_cast<uv_handle_t*>(s))) {
      // The user closed the stream from its callback: deliver nothing more.
      uv_stream_msg_free_buffer(s);
      return;
    }
  }
  if (s->filled == 0) {
    uv_stream_msg_free_buffer(s);
  } else if (delivered > 0) {
    memmove(s->buf, cursor, static_cast<size_t>(s->filled));
  }
}
