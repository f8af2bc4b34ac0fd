#include "agent/replies.h"

#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "agent/agent_state.h"
#include "agent/blockman.h"
#include "agent/connection_pool.h"
#include "agent/ledger.h"
#include "agent/progress.h"
#include "agent/support/slog.h"
#include "proto/tpl_reader.h"
#include "proto/wire_constants.h"

namespace {

void drop_failed_stream(uv_msg_t* client, int error) {
  if (error != UV_EOF) log_info("Read error: %s\n", uv_err_name(error));
  {
    std::lock_guard<std::mutex> guard(sockets_rw_lock);
    sockets.erase(std::remove(sockets.begin(), sockets.end(), client), sockets.end());
    close_and_free_stream(client);
  }
  refresh_pending_size();
}

}  // namespace

reply_kind_t classify_reply(const reply_record& r) {
  if (r.type == 1) return r.offset > bf_proto::kBinlogLimit ? REPLY_BINLOG_FULL : REPLY_BINLOG_OK;
  if (r.type == 2) return REPLY_FSYNC_DONE;
  return REPLY_ACK;
}

void apply_block_ack(int devno, int64_t offset, int size) {
  // The held blocks first: their ids are found only among rows still at ACK 0.
  for (const auto& row : get_unack_block(devno, remote_ip)) {
    int64_t row_size = std::get<0>(row);
    int64_t row_offset = std::get<1>(row);
    if (row_offset == offset && row_size == static_cast<int64_t>(size)) {
      int id = static_cast<int>(std::get<2>(row));
      // Only this loop thread drops blocks, so "held" stays true until the delete.
      bool held = unacker->carry_block_by_id(id) != nullptr;
      if (held) unacker->unlock_block();
      unacker->del_block_by_id(id);
      if (held) progress_add_acked(row_size);
    }
  }
  ack_block_rows(devno, offset, size);
}

void on_msg_received(uv_msg_t* client, void* msg, int size) {
  if (size < 0 || msg == nullptr) {
    drop_failed_stream(client, size < 0 ? size : UV_EPROTO);
    return;
  }
  reply_record reply;
  if (load_reply(&reply, static_cast<const char*>(msg), static_cast<size_t>(size)) != 0) {
    log_info("ignored a reply of %d bytes that is not a reply image", size);
    return;
  }
  switch (classify_reply(reply)) {
    case REPLY_BINLOG_FULL:
      log_info("binlog %lld > %lld", static_cast<long long>(reply.offset),
               static_cast<long long>(bf_proto::kBinlogLimit));
      log_info("binlog full, exit app");
      _exit(0);
    case REPLY_BINLOG_OK:
      log_info("binlog %lld less %lld", static_cast<long long>(reply.offset),
               static_cast<long long>(bf_proto::kBinlogLimit));
      return;
    case REPLY_FSYNC_DONE:
      log_info("reply.type==2, done");
      server_incremental_data_fsync = true;
      return;
    case REPLY_ACK:
      apply_block_ack(reply.devno, reply.offset, reply.size);
      return;
  }
}

void wait_all_block_is_ack() {
  for (;;) {
    log_info("fin: wait all block is ack");
    wf_sleep(1);
    if (count_unack_block() == 0) break;  // -1 (failed query) keeps waiting
  }
  log_info("block all ack");
  if (incremental_mode) {
    log_info("send ctlEndIncremental");
    do {
      send_ctrl_command_in_a_thread("ctlEndIncremental");
      log_info("wait fin: wait server incremental data fsync.");
      wf_sleep(1);
    } while (!server_incremental_data_fsync);
  }
  all_done = true;
}
