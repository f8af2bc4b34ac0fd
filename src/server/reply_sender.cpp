#include "server/reply_sender.h"

#include <inttypes.h>
#include <stdlib.h>

#include "proto/reply_image.h"
#include "server/connection.h"
#include "server/server_log.h"

namespace {

struct delayed_ack_t {
  uv_timer_t timer;
  conn_t* conn;
  int devno;
  int64_t offset;
  int length;
};

void on_reply_written(send_message_t* req, int status) {
  conn_t* c = static_cast<conn_t*>(req->data);
  c->pending_replies--;
  if (status < 0 && status != UV_ECANCELED && !c->closing)
    conn_close(c, std::string("reply write failed: ") + uv_strerror(status));
  if (c->closing) {
    conn_release_check(c);
    return;
  }
  conn_update(c);
}

void send_ack_now(conn_t* c, int devno, int64_t offset, int length) {
  if (conn_send_reply(c, kReplyAck, devno, offset, length) == 0) c->srv->stats.acks_sent++;
}

void on_delayed_ack_closed(uv_handle_t* handle) {
  delayed_ack_t* d = static_cast<delayed_ack_t*>(handle->data);
  conn_t* c = d->conn;
  delete d;
  c->timers--;
  if (c->closing)
    conn_release_check(c);
  else
    conn_update(c);
}

void on_delayed_ack(uv_timer_t* timer) {
  delayed_ack_t* d = static_cast<delayed_ack_t*>(timer->data);
  send_ack_now(d->conn, d->devno, d->offset, d->length);
  uv_close(reinterpret_cast<uv_handle_t*>(&d->timer), on_delayed_ack_closed);
}

}  // namespace

int conn_send_reply(conn_t* c, int32_t type, int32_t devno, int64_t offset, int32_t size) {
  if (c->closing) return -1;
  unsigned char* image = static_cast<unsigned char*>(malloc(kReplyImageSize));
  if (image == nullptr) {
    conn_close(c, "out of memory for a reply");
    return -1;
  }
  write_reply_image(type, devno, offset, size, image);
  c->pending_replies++;
  int rc = send_message(&c->stream, reinterpret_cast<char*>(image), kReplyImageSize, free,
                        on_reply_written, c);
  if (rc != 0) {
    // send_message released the image already.
    c->pending_replies--;
    conn_close(c, std::string("reply write refused: ") + uv_strerror(rc));
    return -1;
  }
  return 0;
}

void conn_acknowledge(conn_t* c, int devno, int64_t offset, int length) {
  server_t* srv = c->srv;
  const fault_options_t& f = srv->opts.fault;
  srv->blocks_seen++;
  if (f.drop_ack_every > 0 && srv->blocks_seen % static_cast<uint64_t>(f.drop_ack_every) == 0) {
    srv->stats.acks_dropped++;
    log_info("fault injection: acknowledgement dropped devno=%d offset=%" PRId64 " size=%d", devno,
             offset, length);
    return;
  }
  if (c->closing) return;
  if (f.ack_delay_ms <= 0) {
    send_ack_now(c, devno, offset, length);
    return;
  }
  delayed_ack_t* d = new delayed_ack_t{};
  d->conn = c;
  d->devno = devno;
  d->offset = offset;
  d->length = length;
  uv_timer_init(srv->loop, &d->timer);
  d->timer.data = d;
  c->timers++;
  uv_timer_start(&d->timer, on_delayed_ack, static_cast<uint64_t>(f.ack_delay_ms), 0);
}

void send_binlog_reports(server_t* srv) {
  for (auto& kv : srv->agents) {
    agent_t* a = kv.second.get();
    if (a->connections == 0) continue;
    int64_t size = srv->opts.fault.binlog_size >= 0 ? srv->opts.fault.binlog_size
                                                     : a->binlog_size.load();
    // One report per agent, on the first connection that can still carry it.
    for (conn_t* c : srv->conns) {
      if (c->agent != a || c->closing || c->draining) continue;
      if (conn_send_reply(c, kReplyBinlog, 0, size, 0) == 0) break;
    }
  }
}
