#include "server/connection.h"

#include <arpa/inet.h>
#include <inttypes.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include "proto/block_message_decode.h"
#include "server/buffer_pool.h"
#include "proto/control_commands.h"
#include "server/ingest_work.h"
#include "server/server_log.h"

namespace {

// Receive buffers carry their size in front so the free callback can give
// it back to the budget.
constexpr size_t kRxHeader = 16;

void rx_alloc(uv_handle_t* handle, size_t size, uv_buf_t* out) {
  conn_t* c = static_cast<conn_t*>(handle->data);
  server_t* srv = c->srv;
  *out = uv_buf_init(nullptr, 0);
  // Over budget: no buffer, which the framing layer reports as UV_ENOBUFS.
  if (srv->mem_used + static_cast<int64_t>(size) > srv->opts.memory_budget) return;
  size_t capacity;
  char* p = pool_get(&srv->pool, size + kRxHeader, &capacity);
  if (p == nullptr) return;
  memcpy(p, &capacity, sizeof capacity);
  srv->mem_used += static_cast<int64_t>(capacity);
  *out = uv_buf_init(p + kRxHeader, static_cast<unsigned>(capacity - kRxHeader));
}

void rx_free(uv_handle_t* handle, void* ptr) {
  if (ptr == nullptr) return;
  conn_t* c = static_cast<conn_t*>(handle->data);
  char* p = static_cast<char*>(ptr) - kRxHeader;
  size_t capacity;
  memcpy(&capacity, p, sizeof capacity);
  c->srv->mem_used -= static_cast<int64_t>(capacity);
  pool_put(&c->srv->pool, p, capacity);
}

std::string read_error_reason(int code) {
  switch (code) {
    case UV_EOF: return "peer closed the connection";
    case UV_EPROTO: return "corrupt frame: length zero, negative or over the size limit";
    case UV_ENOBUFS: return "receive memory budget exhausted";
    default: return std::string("read error: ") + uv_strerror(code);
  }
}

std::string hex_head(const void* msg, int size) {
  const unsigned char* p = static_cast<const unsigned char*>(msg);
  std::string out;
  char b[4];
  for (int i = 0; i < size && i < 8; i++) {
    snprintf(b, sizeof b, "%02x", p[i]);
    out += b;
  }
  return out;
}

bool is_command(const void* msg, int size, const char* text, int text_size) {
  return size == text_size && memcmp(msg, text, static_cast<size_t>(text_size)) == 0;
}

void on_message(uv_msg_t* stream, void* msg, int size);

void on_closed(uv_handle_t* handle) {
  conn_t* c = static_cast<conn_t*>(handle->data);
  // A buffer still held (closed outside the read path) goes back here.
  if (c->stream.buf != nullptr) rx_free(handle, c->stream.buf);
  c->stream.buf = nullptr;
  c->stream.alloc_size = 0;
  c->stream.filled = 0;
  c->handle_closed = true;
  server_t* srv = c->srv;
  conn_release_check(c);
  server_resume_paused(srv);
}

void on_shutdown(uv_shutdown_t* req, int status) {
  conn_t* c = static_cast<conn_t*>(req->data);
  conn_close(c, status == 0 || status == UV_ECANCELED
                    ? c->drain_reason
                    : c->drain_reason + " (shutdown: " + uv_strerror(status) + ")");
}

void handle_block(conn_t* c, void* msg, int size) { queue_block_job(c, msg, static_cast<size_t>(size)); }

void handle_incremental(conn_t* c) {
  if (!c->agent->incremental)
    log_info("incremental run announced agent=%s peer=%s", c->agent->name.c_str(), c->peer.c_str());
  c->agent->incremental = true;
}

void handle_end_incremental(conn_t* c) {
  log_info("end of incremental run requested agent=%s peer=%s", c->agent->name.c_str(),
           c->peer.c_str());
  queue_sync_job(c->srv, c->agent, c);
}

void on_message(uv_msg_t* stream, void* msg, int size) {
  conn_t* c = static_cast<conn_t*>(stream->data);
  server_t* srv = c->srv;
  if (msg == nullptr) {
    if (size != UV_EOF) srv->stats.rejected++;
    conn_close(c, read_error_reason(size));
    return;
  }
  if (c->closing) return;
  const int close_after = srv->opts.fault.close_after_messages;
  // Frames that arrived in the same read after the fault closed the door.
  if (close_after > 0 && c->messages >= static_cast<uint64_t>(close_after)) return;
  c->messages++;

  if (is_block_message(msg, static_cast<size_t>(size))) {
    handle_block(c, msg, size);
  } else if (is_command(msg, size, kCtlIncremental, kCtlIncrementalSize)) {
    handle_incremental(c);
  } else if (is_command(msg, size, kCtlEndIncremental, kCtlEndIncrementalSize)) {
    handle_end_incremental(c);
  } else {
    srv->stats.rejected++;
    conn_close(c, "unknown message kind (" + std::to_string(size) + " bytes, starting " +
                      hex_head(msg, size) + ")");
    return;
  }
  if (c->closing) return;
  if (close_after > 0 && c->messages == static_cast<uint64_t>(close_after))
    conn_drain(c, "fault injection: closed after " + std::to_string(close_after) + " messages");
  conn_update(c);
}

agent_t* find_or_add_agent(server_t* srv, const std::string& address) {
  auto it = srv->agents.find(address);
  if (it != srv->agents.end()) return it->second.get();
  auto a = std::make_unique<agent_t>();
  a->name = address;
  a->dir = srv->opts.dir + "/" + agent_dir_name(address);
  agent_t* raw = a.get();
  srv->agents.emplace(address, std::move(a));
  return raw;
}

}  // namespace

int peer_address(uv_tcp_t* tcp, std::string* address, int* port) {
  struct sockaddr_storage ss;
  int len = sizeof ss;
  if (uv_tcp_getpeername(tcp, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return -1;
  char text[INET6_ADDRSTRLEN] = "";
  if (ss.ss_family == AF_INET) {
    auto* sa = reinterpret_cast<struct sockaddr_in*>(&ss);
    inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text);
    *port = ntohs(sa->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    auto* sa = reinterpret_cast<struct sockaddr_in6*>(&ss);
    // An IPv4 agent reaching a dual-stack socket is still the same agent.
    if (IN6_IS_ADDR_V4MAPPED(&sa->sin6_addr))
      inet_ntop(AF_INET, &sa->sin6_addr.s6_addr[12], text, sizeof text);
    else
      inet_ntop(AF_INET6, &sa->sin6_addr, text, sizeof text);
    *port = ntohs(sa->sin6_port);
  } else {
    return -1;
  }
  *address = text;
  return 0;
}

void conn_release_check(conn_t* c) {
  if (!c->handle_closed || c->inflight > 0 || c->timers > 0 || c->pending_replies > 0) return;
  server_t* srv = c->srv;
  agent_t* a = c->agent;
  srv->conns.erase(c);
  delete c;
  server_on_conn_released(srv, a);
}

void conn_close(conn_t* c, const std::string& reason) {
  if (c->closing) return;
  c->closing = true;
  log_info("connection closed peer=%s agent=%s id=%" PRIu64 " messages=%" PRIu64 " reason=%s",
           c->peer.c_str(), c->agent ? c->agent->name.c_str() : "-", c->id, c->messages,
           reason.c_str());
  if (c->paused_for_memory) {
    c->paused_for_memory = false;
    c->srv->paused_for_memory--;
  }
  c->reading = false;
  uv_close(reinterpret_cast<uv_handle_t*>(&c->stream), on_closed);
}

void conn_drain(conn_t* c, const std::string& reason) {
  if (c->closing || c->draining) return;
  c->draining = true;
  c->drain_reason = reason;
  conn_update(c);
}

void conn_update(conn_t* c) {
  if (c->closing) return;
  server_t* srv = c->srv;
  uv_stream_t* stream = reinterpret_cast<uv_stream_t*>(&c->stream);
  if (c->draining) {
    if (c->reading) uv_read_stop(stream);
    c->reading = false;
    if (c->inflight > 0 || c->timers > 0 || c->shutdown_started) return;
    // Shutdown waits for queued replies to be written before we close.
    c->shutdown_started = true;
    c->shutdown_req.data = c;
    if (uv_shutdown(&c->shutdown_req, stream, on_shutdown) != 0) conn_close(c, c->drain_reason);
    return;
  }
  bool over_memory = srv->mem_used > srv->opts.memory_budget / 2;
  bool want = !srv->stopping && !over_memory && c->inflight < srv->opts.max_inflight &&
              c->pending_replies < srv->opts.max_pending_replies;
  if (over_memory != c->paused_for_memory) {
    c->paused_for_memory = over_memory;
    srv->paused_for_memory += over_memory ? 1 : -1;
  }
  if (want && !c->reading) {
    int rc = uv_msg_read_start(&c->stream, rx_alloc, on_message, rx_free);
    if (rc != 0) {
      conn_close(c, std::string("cannot read: ") + uv_strerror(rc));
      return;
    }
    c->reading = true;
  } else if (!want && c->reading) {
    uv_read_stop(stream);
    c->reading = false;
  }
}

void server_resume_paused(server_t* srv) {
  if (srv->paused_for_memory == 0 || srv->mem_used > srv->opts.memory_budget / 2) return;
  std::vector<conn_t*> waiting;
  for (conn_t* c : srv->conns)
    if (c->paused_for_memory) waiting.push_back(c);
  for (conn_t* c : waiting) conn_update(c);
}

void on_new_connection(uv_stream_t* listener, int status) {
  server_t* srv = static_cast<server_t*>(listener->data);
  if (status < 0) {
    log_error("accept failed: %s", uv_strerror(status));
    return;
  }
  conn_t* c = new conn_t;
  c->srv = srv;
  if (uv_msg_init(srv->loop, &c->stream, UV_TCP) != 0) {
    delete c;
    return;
  }
  c->stream.data = c;
  c->id = srv->next_conn_id++;
  srv->conns.insert(c);
  if (uv_accept(listener, reinterpret_cast<uv_stream_t*>(&c->stream)) != 0) {
    c->peer = "?";
    conn_close(c, "accept failed");
    return;
  }
  srv->stats.connections++;
  std::string address;
  int port = 0;
  if (peer_address(&c->stream.tcp, &address, &port) != 0) {
    c->peer = "?";
    conn_close(c, "peer address unknown");
    return;
  }
  c->peer = address + " " + std::to_string(port);
  if (srv->conns.size() > static_cast<size_t>(srv->opts.max_connections)) {
    conn_close(c, "too many connections (limit " + std::to_string(srv->opts.max_connections) + ")");
    return;
  }
  agent_t* a = find_or_add_agent(srv, address);
  std::string error;
  if (agent_open_files(a, &error) != 0) {
    log_error("cannot open the files of agent %s: %s", a->name.c_str(), error.c_str());
    conn_close(c, "agent directory unusable");
    return;
  }
  c->agent = a;
  a->connections++;
  uv_msg_set_max_frame(&c->stream, static_cast<int>(block_message_max_size()));
  uv_tcp_nodelay(&c->stream.tcp, 1);
  log_info("connection open peer=%s agent=%s id=%" PRIu64 " agent_connections=%d", c->peer.c_str(),
           a->name.c_str(), c->id, a->connections);
  conn_update(c);
}
