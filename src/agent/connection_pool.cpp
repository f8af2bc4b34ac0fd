#include "agent/connection_pool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "agent/agent_state.h"
#include "agent/outgoing_queue.h"
#include "agent/replies.h"
#include "agent/support/slog.h"
#include "agent/waitlist.h"

std::vector<uv_msg_t*> sockets;  // connected streams; changed on the loop thread only
std::mutex sockets_rw_lock;      // guards sockets and the writes and closes of pooled streams

namespace {
int g_connecting = 0;                          // attempts in flight; loop thread only
std::atomic<size_t> g_pending_write_bytes{0};  // bytes; written by the loop thread, read by the worker

void on_stream_closed(uv_handle_t* handle) {
  uv_msg_t* stream = reinterpret_cast<uv_msg_t*>(handle);
  free(stream->buf);  // a frame cut short by the close
  free(stream);
}
}  // namespace

int pending_connection_attempts() { return g_connecting; }

void close_and_free_stream(uv_msg_t* stream) {
  uv_handle_t* handle = reinterpret_cast<uv_handle_t*>(stream);
  if (!uv_is_closing(handle)) uv_close(handle, on_stream_closed);
}

int start_connection_attempt(bool fatal) {
  uv_msg_t* stream = static_cast<uv_msg_t*>(calloc(1, sizeof(uv_msg_t)));
  if (stream == nullptr) {
    fprintf(stderr, "uv_msg_init error: %d\n", UV_ENOMEM);
    exit(1);
  }
  int rc = uv_msg_init(loop, stream, UV_TCP);
  if (rc != 0) {
    fprintf(stderr, "uv_msg_init error: %d\n", rc);
    exit(1);
  }
  uv_connect_t* req = static_cast<uv_connect_t*>(malloc(sizeof(uv_connect_t)));
  if (req == nullptr) {
    close_and_free_stream(stream);
    return UV_ENOMEM;
  }
  if (fatal) log_info("connect..");
  rc = uv_tcp_connect(req, &stream->tcp, dest_ptr, on_connect);
  if (rc != 0) {
    free(req);
    if (fatal) {
      fprintf(stderr, "Connect error: %s\n", uv_strerror(rc));
      free(stream);  // the process ends right here
      exit(1);
    }
    log_info("Connect error: %s\n", uv_strerror(rc));
    close_and_free_stream(stream);
    return rc;
  }
  g_connecting++;
  return 0;
}

void on_connect(uv_connect_t* connect, int status) {
  log_info("on_connect status:%d", status);
  g_connecting--;
  uv_msg_t* stream = reinterpret_cast<uv_msg_t*>(connect->handle);
  free(connect);
  if (status < 0) {
    log_info("on_connect error");
    close_and_free_stream(stream);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(sockets_rw_lock);
    sockets.push_back(stream);
    uv_tcp_keepalive(&stream->tcp, 1, kKeepAliveDelay);
  }
  uv_msg_set_max_frame(stream, kReplyMaxFrame);
  uv_msg_read_start(stream, alloc_buffer, on_msg_received, free_buffer);
  if (incremental_mode) {
    log_info("send ctlIncremental");
    send_ctrl_command(stream, "ctlIncremental");
  }
  // Messages that waited while no stream was up leave now.
  wake_sender_for_messages();
}

void send_ctrl_command(uv_msg_t* socket, std::string payload) {
  std::lock_guard<std::mutex> guard(sockets_rw_lock);
  send_message(socket, const_cast<char*>(payload.c_str()), static_cast<int>(payload.size() + 1),
               SEND_MESSAGE_COPY, on_msg_sent, nullptr);
}

void send_ctrl_command_in_a_thread(std::string payload) {
  size_t n = payload.size() + 1;
  char* copy = static_cast<char*>(malloc(n));
  if (copy != nullptr) memcpy(copy, payload.c_str(), n);
  add_to_send_waitlist(copy, static_cast<int>(n));
  wake_sender_for_messages();
}

void on_msg_sent(send_message_t*, int status) {
  if (status < 0) log_error("on_connect %d\n", status);
  refresh_pending_size();
}

void alloc_buffer(uv_handle_t*, size_t suggested_size, uv_buf_t* buf) {
  char* base = static_cast<char*>(malloc(suggested_size));
  *buf = uv_buf_init(base, base ? static_cast<unsigned int>(suggested_size) : 0);
}

void free_buffer(uv_handle_t*, void* ptr) { free(ptr); }

size_t count_pending_size() { return g_pending_write_bytes.load(); }

void refresh_pending_size() {
  size_t total = 0;
  {
    std::lock_guard<std::mutex> guard(sockets_rw_lock);
    for (uv_msg_t* s : sockets) {
      total += uv_stream_get_write_queue_size(reinterpret_cast<uv_stream_t*>(s));
    }
  }
  g_pending_write_bytes.store(total);
}
