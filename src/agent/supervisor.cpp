#include "agent/supervisor.h"

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <mutex>

#include "agent/agent_state.h"
#include "agent/blockman.h"
#include "agent/connection_pool.h"
#include "agent/disks.h"
#include "agent/ledger.h"
#include "agent/outgoing_queue.h"
#include "agent/planner.h"
#include "agent/run_failures.h"
#include "agent/sqlaccess.h"
#include "agent/support/slog.h"
#include "agent/waitlist.h"

int refill_count(int connected, int connecting) {
  return std::max(0, kPoolTarget - connected - connecting);
}

bool resend_due(long now, long last_send, size_t waitlist_size) {
  return now - last_send > kResendAgeSeconds && waitlist_size <= kResendWaitlistCeiling;
}

completion_t completion_decision(bool planner_done, int held_blocks, size_t failed_ranges) {
  if (!planner_done || held_blocks != 0) return RUN_CONTINUES;
  return failed_ranges == 0 ? RUN_SUCCEEDED : RUN_FAILED;
}

std::vector<int> resend_devices() {
  std::vector<int> devnos;
  for (const disk_info_t* d : g_disks) devnos.push_back(d->device_index);
  std::sort(devnos.begin(), devnos.end());
  devnos.erase(std::unique(devnos.begin(), devnos.end()), devnos.end());
  return devnos;
}

int resend_pass(long now, const std::vector<int>& devnos) {
  int resent = 0;
  for (int d : devnos) {
    for (const auto& row : get_unack_block(d, remote_ip)) {
      int id = static_cast<int>(std::get<2>(row));
      Block* b = unacker->carry_block_by_id(id);
      if (b == nullptr) continue;  // a row of an earlier run: nothing held to resend
      // mLock is held from here to unlock_block(); get_waitlist_size nests
      // queue_rw_lock inside it, the one permitted order.
      if (b->data != nullptr && resend_due(now, unacker->last_send_time[id], get_waitlist_size())) {
        log_info("resend a block when < 10");
        unacker->last_send_time[id] = now;
        // The bytes are copied before this returns, so an acknowledgement that
        // frees the held block later does not touch the resend.
        send_block_to_queue_with_copy_in_new_thread(nullptr, d, static_cast<uint64_t>(b->offset),
                                                    b->data, b->datalength);
        wake_sender_for_blocks();
        resent++;
      }
      unacker->unlock_block();
    }
  }
  return resent;
}

namespace {

void refill_pool() {
  std::lock_guard<std::mutex> guard(sockets_rw_lock);
  int missing = refill_count(static_cast<int>(sockets.size()), pending_connection_attempts());
  for (int i = 0; i < missing; i++) {
    log_info("reconnect...");
    start_connection_attempt(false);
  }
}

void finish_if_done() {
  int held = unacker->get_length();
  log_info("alldone(%d) unacker->count(%d)", all_done ? 1 : 0, held);
  completion_t c = completion_decision(all_done && planner_returned, held, failed_range_count());
  if (c == RUN_CONTINUES) return;
  delete_other_servers_rows(remote_ip);
  if (c == RUN_FAILED) {
    size_t n = log_failed_ranges();
    log_error("transfer finished with %zu range(s) not replicated; exit status 1", n);
    exit(1);
  }
  log_info("all done\n");
  exit(0);
}

}  // namespace

void timer_cb(uv_timer_t*) {
  sql_save();
  refill_pool();
  refresh_pending_size();
  resend_pass(static_cast<long>(time(nullptr)), resend_devices());
  finish_if_done();
}
