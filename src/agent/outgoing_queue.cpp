#include "agent/outgoing_queue.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "agent/agent_state.h"
#include "agent/block_queueing.h"
#include "agent/connection_pool.h"
#include "agent/support/slog.h"
#include "agent/waitlist.h"

namespace {
std::atomic<int> g_block_threads{0};  // threads started by the hand-over; any thread
}  // namespace

int block_threads_in_flight() { return g_block_threads.load(); }

int send_block_to_queue_done_free(uv_msg_t* socket, int block_id, uint64_t offset, char* buf,
                                  int size) {
  send_block_to_queue(socket, block_id, offset, buf, size);
  free(buf);
  g_block_threads--;
  // The hand-over's wake-up may have run before this message was queued; wake
  // the sender again so the message leaves now, not at the next resend.
  wake_sender_for_blocks();
  return 0;
}

int send_block_to_queue_with_copy_in_new_thread(uv_msg_t* socket, int block_id, uint64_t offset,
                                                 char* buf, int size) {
  char* copy = nullptr;
  if (size > 0) {
    copy = static_cast<char*>(malloc(static_cast<size_t>(size)));
    if (copy == nullptr) {
      log_info("block copy malloc error");
      abort();
    }
    memcpy(copy, buf, static_cast<size_t>(size));
  }
  g_block_threads++;
  std::thread(send_block_to_queue_done_free, socket, block_id, offset, copy, size).detach();
  wake_sender_for_blocks();
  return 0;
}

void send_data_to_network_from_queue(uv_async_t*) {
  // The pool changes only on this (loop) thread, so a non-empty pool seen
  // here stays non-empty while the queue is drained below.
  bool no_stream;
  {
    std::lock_guard<std::mutex> guard(sockets_rw_lock);
    no_stream = sockets.empty();
  }
  if (no_stream) {
    // Kept queued, in order, until on_connect wakes this sender again.
    if (get_waitlist_size() > 0) log_info("no socket return");
    return;
  }
  char* buf = nullptr;
  int size = 0;
  while (pop_data_from_waitlist(&buf, &size) == 0) {
    if (buf != nullptr && size > 0) {
      std::lock_guard<std::mutex> guard(sockets_rw_lock);
      uv_msg_t* stream = sockets[static_cast<size_t>(rand()) % sockets.size()];
      // The write takes the queued buffer over (freed after the write, or at
      // once when refused): one copy of up to 8 MiB less per message.
      send_message(stream, buf, size, free, on_msg_sent, nullptr);
    } else {
      free(buf);  // an entry whose message could not be built
    }
    buf = nullptr;
    size = 0;
  }
  refresh_pending_size();
}

void wake_sender_for_blocks() {
  if (async_send_block.loop != nullptr) uv_async_send(&async_send_block);
}

void wake_sender_for_messages() {
  if (async_send_message.loop != nullptr) uv_async_send(&async_send_message);
}
