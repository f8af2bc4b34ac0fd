// Transfer start-up after the command line: ledger set-up, the ten connection
// attempts, the SIGINT watcher, the planner on the worker pool, the supervisor
// timer and the loop. Main thread, which then becomes the loop thread.
#include "agent/transfer.h"

#include <malloc.h>
#include <signal.h>
#include <stdlib.h>

#include <exception>

#include "agent/agent_state.h"
#include "agent/connection_pool.h"
#include "agent/entry.h"
#include "agent/ledger.h"
#include "agent/outgoing_queue.h"
#include "agent/planner.h"
#include "agent/blockman.h"
#include "agent/progress.h"
#include "agent/sqlaccess.h"
#include "agent/supervisor.h"
#include "agent/support/slog.h"

namespace {

// Blocks are 8 MiB buffers allocated and freed by the thousand. Above glibc's
// default mmap threshold each one is a fresh mapping whose pages the kernel
// must fault in and zero; keeping them in the heap lets freed blocks be reused.
void keep_block_buffers_in_heap() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_TOP_PAD, 64 << 20);
}

}  // namespace

int start_transfer() {
  keep_block_buffers_in_heap();
  // A write to a stream whose server went away must come back as EPIPE on
  // that stream (it is then closed and replaced), not kill the agent.
  signal(SIGPIPE, SIG_IGN);
  create_database_if_not_exist();
  delete_other_servers_rows(remote_ip);
  // Rows left unacknowledged by an earlier run would hold the end-of-run wait
  // forever (nothing resends them); their positions are read and sent afresh.
  forget_unacked_positions(remote_ip);

  log_info("connect to %s:%d..", remote_server_ip, kServerPort);
  uv_async_init(loop, &async_send_block, send_data_to_network_from_queue);
  uv_async_init(loop, &async_send_message, send_data_to_network_from_queue);
  for (int i = 0; i < kPoolTarget; i++) start_connection_attempt(true);

  uv_work_t* planner_req = new uv_work_t;  // freed by after_stub

  uv_signal_t sigint_watcher;  // lives as long as the loop: this frame does not return before
  uv_signal_init(loop, &sigint_watcher);
  uv_signal_start(&sigint_watcher, signal_handler, SIGINT);

  uv_queue_work(loop, planner_req, sync_read_block_to_async_send2, after_stub);

  uv_timer_t supervisor_timer;
  int rc = uv_timer_init(loop, &supervisor_timer);
  (void)rc;
  uv_timer_start(&supervisor_timer, timer_cb, kTickMs, kTickMs);

  progress_start_timer(loop, [] { return unacker->get_length(); });

  int result = 0;
  try {
    result = uv_run(loop, UV_RUN_DEFAULT);
  } catch (const std::exception&) {
    log_info("exception!");
    result = 0;
  }
  return result;
}
