// The sending side of the outgoing wait list: per-block threads that pack and
// compress a copy of a block onto the list, and the loop-thread sender that
// drains the list onto randomly chosen pooled streams. The hand-over may be
// called from any thread; the sender runs on the loop thread only.
#pragma once

#include <stdint.h>
#include <uv.h>

#include "proto/uv_msg_framing.h"

// Copies `size` bytes of `buf` (the caller keeps `buf`), starts a detached
// thread that builds the block's message and queues it, wakes the sender.
// `block_id` carries the device number. Returns 0.
int send_block_to_queue_with_copy_in_new_thread(uv_msg_t* socket, int block_id, uint64_t offset,
                                                 char* buf, int size);

// Body of that thread: builds and queues the message, then frees `buf`. Returns 0.
int send_block_to_queue_done_free(uv_msg_t* socket, int block_id, uint64_t offset, char* buf,
                                  int size);

// Async callback (both wake-up handles): sends every queued message. While no
// stream is connected it logs "no socket return" and leaves the messages queued,
// in order, for the next wake-up (a new connection wakes it).
void send_data_to_network_from_queue(uv_async_t* handle);

// Block threads started and not yet finished (any thread; tests wait on it).
int block_threads_in_flight();

// uv_async_send on the block / control wake-up handle; does nothing before
// start_transfer has initialised the handles (unit tests). Any thread.
void wake_sender_for_blocks();
void wake_sender_for_messages();
