// The records the server's modules share: the server itself, one record per
// connection, and the running totals. Everything here is owned and touched by
// the loop thread only; worker threads see agents through agent_store.h and
// their own job records.
#pragma once

#include <stdint.h>
#include <uv.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "proto/uv_msg_framing.h"
#include "server/agent_store.h"
#include "server/buffer_pool.h"
#include "server/server_options.h"

struct server_t;

// Totals since start, for the periodic line and the summary.
struct server_stats_t {
  uint64_t blocks = 0;           // blocks applied
  uint64_t bytes = 0;            // block bytes applied
  uint64_t zero_blocks = 0;      // of those, all-zero blocks left as holes
  uint64_t acks_sent = 0;        // acknowledgements handed to the network
  uint64_t acks_dropped = 0;     // acknowledgements withheld by fault injection
  uint64_t connections = 0;      // connections accepted
  uint64_t rejected = 0;         // connections closed for bad input
  uint64_t start_ms = 0;         // uv_now at start
  uint64_t first_block_ms = 0;   // uv_now when the first block arrived; 0 before
};

struct conn_t {
  uv_msg_t stream;  // first: the stream's `data` points back at this record
  server_t* srv = nullptr;
  agent_t* agent = nullptr;
  std::string peer;       // "address port", for the log
  uint64_t id = 0;
  uint64_t messages = 0;  // frames received
  int inflight = 0;         // jobs (block writes, syncs) not finished
  int pending_replies = 0;  // replies handed to libuv and not yet written
  int timers = 0;           // delayed acknowledgements waiting
  bool reading = false;
  bool paused_for_memory = false;
  bool draining = false;          // no more reading; close once replies are out
  bool shutdown_started = false;
  bool closing = false;           // uv_close called
  bool handle_closed = false;
  std::string drain_reason;
  uv_shutdown_t shutdown_req;
};

struct server_t {
  uv_loop_t* loop = nullptr;
  server_options_t opts;
  std::vector<uv_tcp_t*> listeners;
  std::map<std::string, std::unique_ptr<agent_t>> agents;  // by address text
  std::set<conn_t*> conns;       // every connection record not yet released
  server_stats_t stats;
  int64_t mem_used = 0;          // bytes in receive buffers and queued messages
  buffer_pool_t pool;            // reused message-sized buffers
  int paused_for_memory = 0;     // connections waiting for memory to free up
  uint64_t next_conn_id = 1;
  uint64_t blocks_seen = 0;      // blocks applied, for the drop-every-Nth fault
  bool stopping = false;
  bool finished = false;
  int exit_status = 0;           // 1 when the final sync failed
  bool handle_signals = false;
  uv_timer_t binlog_timer;
  uv_timer_t stop_deadline;
  uv_async_t stop_async;
  uv_signal_t sigint, sigterm;
};

// server.cpp: a connection record was released; syncs an agent left without
// connections and finishes a stop once nothing is left.
void server_on_conn_released(server_t* srv, agent_t* a);
// server.cpp: a sync job of `a` ended (its files may now be closed).
void server_on_sync_done(server_t* srv, agent_t* a);
