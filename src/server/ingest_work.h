// The work that runs off the event loop: decoding and writing one block, and
// making an agent's images durable. Jobs run on libuv's worker pool; their
// completion runs on the loop thread and answers the agent.
#pragma once

#include <stddef.h>

#include "server/server_state.h"

// Copies a block data message and queues its decode and write. The copy is
// counted against the server's memory budget. Returns 0, or -1 when the job
// could not be queued (the connection is closed).
int queue_block_job(conn_t* c, const void* msg, size_t size);

// Queues an fsync of every file of `a`. With `reply_to`, a durable reply
// (type 2) goes out on that connection when the sync succeeds. Returns 0 or -1.
int queue_sync_job(server_t* srv, agent_t* a, conn_t* reply_to);
