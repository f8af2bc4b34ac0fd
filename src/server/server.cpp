// Start, stop and the periodic duties of the server; the per-connection work
// is in connection.cpp and ingest_work.cpp.
#include "server/server.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "proto/block_message_decode.h"
#include "server/connection.h"
#include "server/ingest_work.h"
#include "server/listener.h"
#include "server/reply_sender.h"
#include "server/server_log.h"
#include "server/server_state.h"
#include "server/stats.h"

namespace {

// How long a stop waits for peers to take their last replies.
constexpr uint64_t kStopDeadlineMs = 5000;

void on_binlog_tick(uv_timer_t* timer) {
  server_t* srv = static_cast<server_t*>(timer->data);
  send_binlog_reports(srv);
  server_resume_paused(srv);
}

void on_stop_deadline(uv_timer_t* timer) {
  server_t* srv = static_cast<server_t*>(timer->data);
  std::vector<conn_t*> left(srv->conns.begin(), srv->conns.end());
  for (conn_t* c : left) conn_close(c, "server stopping: replies not taken in time");
}

void on_stop_async(uv_async_t* async) { server_begin_stop(static_cast<server_t*>(async->data)); }

void on_signal(uv_signal_t* handle, int signum) {
  server_t* srv = static_cast<server_t*>(handle->data);
  log_info("signal %d received, stopping", signum);
  server_begin_stop(srv);
}

// Final step of a stop: runs once no connection and no job is left.
void maybe_finish(server_t* srv) {
  if (!srv->stopping || srv->finished || !srv->conns.empty()) return;
  for (auto& kv : srv->agents)
    if (kv.second->busy > 0) return;
  srv->finished = true;
  for (auto& kv : srv->agents) {
    agent_t* a = kv.second.get();
    std::string error;
    if (agent_sync(a, &error) != 0) {
      log_error("final fsync of agent %s failed: %s", a->name.c_str(), error.c_str());
      srv->exit_status = 1;
    }
    agent_close_files(a);
  }
  stats_log_summary(srv);
  pool_clear(&srv->pool);
  uv_close(reinterpret_cast<uv_handle_t*>(&srv->binlog_timer), nullptr);
  uv_close(reinterpret_cast<uv_handle_t*>(&srv->stop_deadline), nullptr);
  uv_close(reinterpret_cast<uv_handle_t*>(&srv->stop_async), nullptr);
  if (srv->handle_signals) {
    uv_close(reinterpret_cast<uv_handle_t*>(&srv->sigint), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&srv->sigterm), nullptr);
  }
}

int make_root_dir(const std::string& dir, std::string* error) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *error = "cannot create " + dir + ": " + strerror(errno);
    return -1;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || access(dir.c_str(), W_OK | X_OK) != 0) {
    *error = dir + " is not a writable directory";
    return -1;
  }
  return 0;
}

}  // namespace

server_t* server_new() { return new server_t; }

void server_free(server_t* srv) {
  pool_clear(&srv->pool);
  delete srv;
}

int server_start(server_t* srv, uv_loop_t* loop, const server_options_t& opts, bool handle_signals,
                 std::string* error) {
  srv->loop = loop;
  srv->opts = opts;
  srv->handle_signals = handle_signals;
  // Every message-sized buffer gets the largest frame plus the receive header.
  srv->pool.large = block_message_max_size() + 64;
  if (make_root_dir(opts.dir, error) != 0) return -1;
  if (open_listeners(srv, error) != 0) return -1;

  uv_update_time(loop);
  srv->stats.start_ms = uv_now(loop);
  uv_timer_init(loop, &srv->binlog_timer);
  srv->binlog_timer.data = srv;
  uv_timer_start(&srv->binlog_timer, on_binlog_tick, static_cast<uint64_t>(opts.binlog_interval_ms),
                 static_cast<uint64_t>(opts.binlog_interval_ms));
  uv_timer_init(loop, &srv->stop_deadline);
  srv->stop_deadline.data = srv;
  uv_async_init(loop, &srv->stop_async, on_stop_async);
  srv->stop_async.data = srv;
  if (handle_signals) {
    uv_signal_init(loop, &srv->sigint);
    uv_signal_init(loop, &srv->sigterm);
    srv->sigint.data = srv;
    srv->sigterm.data = srv;
    uv_signal_start(&srv->sigint, on_signal, SIGINT);
    uv_signal_start(&srv->sigterm, on_signal, SIGTERM);
  }
  log_info("server started dir=%s", opts.dir.c_str());
  return 0;
}

int server_port(const server_t* srv) { return listener_port(srv); }

void server_begin_stop(server_t* srv) {
  if (srv->stopping) return;
  srv->stopping = true;
  log_info("stopping: %zu connection(s) to finish", srv->conns.size());
  close_listeners(srv);
  uv_timer_stop(&srv->binlog_timer);
  uv_timer_start(&srv->stop_deadline, on_stop_deadline, kStopDeadlineMs, 0);
  std::vector<conn_t*> open(srv->conns.begin(), srv->conns.end());
  for (conn_t* c : open) conn_drain(c, "server stopping");
  maybe_finish(srv);
}

void server_request_stop(server_t* srv) { uv_async_send(&srv->stop_async); }

int server_exit_status(const server_t* srv) { return srv->exit_status; }

void server_on_conn_released(server_t* srv, agent_t* a) {
  if (a != nullptr && --a->connections == 0 && !srv->stopping) {
    // The agent's last connection is gone: make what it sent durable.
    queue_sync_job(srv, a, nullptr);
  }
  maybe_finish(srv);
}

void server_on_sync_done(server_t* srv, agent_t* a) {
  if (!srv->stopping && a->connections == 0 && a->busy == 0) agent_close_files(a);
  maybe_finish(srv);
}
