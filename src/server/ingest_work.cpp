#include "server/ingest_work.h"

#include <inttypes.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <xxhash.h>
#include <zstd.h>

#include <memory>

#include "proto/block_message_decode.h"
#include "proto/reply_image.h"
#include "server/connection.h"
#include "server/reply_sender.h"
#include "server/server_log.h"
#include "server/stats.h"

namespace {

struct block_job_t {
  uv_work_t req;
  conn_t* conn;
  agent_t* agent;
  unsigned char* msg;  // the message copy, owned by the job
  size_t size;
  size_t capacity;     // of the copy's buffer (from the server's pool)
  // Results, written by the worker and read after it.
  int status = 0;
  std::string error;
  bool rejected = false;  // the message was malformed (not a local failure)
  int devno = 0;
  int64_t offset = 0;
  int length = 0;
  bool zero = false;
};

struct sync_job_t {
  uv_work_t req;
  server_t* srv;
  agent_t* agent;
  conn_t* reply_to;  // null for a sync that answers nobody
  int status = 0;
  std::string error;
};

// Each worker thread keeps its own decompression context and a buffer for
// the largest content a message may hold, so jobs allocate nothing large.
struct worker_scratch_t {
  ZSTD_DCtx* dctx = nullptr;
  std::unique_ptr<unsigned char[]> buf;
  ~worker_scratch_t() { ZSTD_freeDCtx(dctx); }
};

worker_scratch_t* scratch() {
  thread_local worker_scratch_t s;
  if (s.dctx == nullptr) s.dctx = ZSTD_createDCtx();
  if (!s.buf) s.buf.reset(new (std::nothrow) unsigned char[kMaxBlockContent]);
  return s.dctx && s.buf ? &s : nullptr;
}

void run_block_job(uv_work_t* req) {
  block_job_t* j = static_cast<block_job_t*>(req->data);
  worker_scratch_t* s = scratch();
  if (s == nullptr) {
    j->status = -1;
    j->error = "out of memory for decompression";
    return;
  }
  block_message_t block;
  if (decode_block_message(s->dctx, j->msg, j->size, s->buf.get(), kMaxBlockContent, &block,
                           &j->error) != 0) {
    j->status = -1;
    j->rejected = true;
    return;
  }
  j->devno = block.devno;
  j->offset = block.offset;
  j->length = block.length;
  image_file_t* img = agent_image(j->agent, block.devno, &j->error);
  if (img == nullptr ||
      image_apply_block(img, block.offset, block.data, static_cast<size_t>(block.length), &j->zero,
                        &j->error) != 0 ||
      agent_append_binlog(j->agent, static_cast<int64_t>(time(nullptr)), block.devno, block.offset,
                          block.length, XXH64(block.data, static_cast<size_t>(block.length), 0),
                          &j->error) != 0) {
    j->status = -1;
  }
}

void after_block_job(uv_work_t* req, int /*status*/) {
  block_job_t* j = static_cast<block_job_t*>(req->data);
  conn_t* c = j->conn;
  server_t* srv = c->srv;
  srv->mem_used -= static_cast<int64_t>(j->capacity);
  pool_put(&srv->pool, reinterpret_cast<char*>(j->msg), j->capacity);
  c->inflight--;
  if (j->status == 0) {
    stats_block_applied(srv, j->length, j->zero);
    // Only now is the block on its image: acknowledge it.
    conn_acknowledge(c, j->devno, j->offset, j->length);
  } else if (j->rejected) {
    srv->stats.rejected++;
    conn_close(c, "bad block message: " + j->error);
  } else {
    log_error("cannot write block of agent %s devno=%d offset=%" PRId64 ": %s",
              j->agent->name.c_str(), j->devno, j->offset, j->error.c_str());
    conn_close(c, "write failed: " + j->error);
  }
  delete j;
  if (c->closing)
    conn_release_check(c);
  else
    conn_update(c);
  server_resume_paused(srv);
}

void run_sync_job(uv_work_t* req) {
  sync_job_t* j = static_cast<sync_job_t*>(req->data);
  j->status = agent_sync(j->agent, &j->error);
}

void after_sync_job(uv_work_t* req, int /*status*/) {
  sync_job_t* j = static_cast<sync_job_t*>(req->data);
  agent_t* a = j->agent;
  conn_t* c = j->reply_to;
  a->busy--;
  if (j->status != 0) {
    a->sync_failed = true;
    log_error("fsync of agent %s failed: %s", a->name.c_str(), j->error.c_str());
  }
  if (c != nullptr) {
    c->inflight--;
    // Durability is claimed only when every sync of this agent succeeded.
    if (!a->sync_failed) {
      log_info("incremental data durable agent=%s", a->name.c_str());
      conn_send_reply(c, kReplyDurable, 0, 0, 0);
    }
    if (c->closing)
      conn_release_check(c);
    else
      conn_update(c);
  } else if (j->status == 0) {
    log_info("images synced agent=%s", a->name.c_str());
  }
  server_t* srv = j->srv;
  delete j;
  server_on_sync_done(srv, a);
}

}  // namespace

int queue_block_job(conn_t* c, const void* msg, size_t size) {
  server_t* srv = c->srv;
  size_t capacity;
  unsigned char* copy = reinterpret_cast<unsigned char*>(pool_get(&srv->pool, size, &capacity));
  if (copy == nullptr) {
    conn_close(c, "out of memory for a block message");
    return -1;
  }
  memcpy(copy, msg, size);
  block_job_t* j = new block_job_t;
  j->req.data = j;
  j->conn = c;
  j->agent = c->agent;
  j->msg = copy;
  j->size = size;
  j->capacity = capacity;
  int rc = uv_queue_work(srv->loop, &j->req, run_block_job, after_block_job);
  if (rc != 0) {
    pool_put(&srv->pool, reinterpret_cast<char*>(copy), capacity);
    delete j;
    conn_close(c, std::string("cannot queue work: ") + uv_strerror(rc));
    return -1;
  }
  srv->mem_used += static_cast<int64_t>(capacity);
  c->inflight++;
  return 0;
}

int queue_sync_job(server_t* srv, agent_t* a, conn_t* reply_to) {
  sync_job_t* j = new sync_job_t;
  j->req.data = j;
  j->srv = srv;
  j->agent = a;
  j->reply_to = reply_to;
  int rc = uv_queue_work(srv->loop, &j->req, run_sync_job, after_sync_job);
  if (rc != 0) {
    delete j;
    log_error("cannot queue the sync of agent %s: %s", a->name.c_str(), uv_strerror(rc));
    if (reply_to != nullptr) conn_close(reply_to, "cannot queue the sync");
    return -1;
  }
  a->busy++;
  if (reply_to != nullptr) reply_to->inflight++;
  return 0;
}
