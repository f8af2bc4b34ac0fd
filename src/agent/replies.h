// What the replication server answers: block acknowledgements (drop the held
// block, mark the ledger), binlog reports (stop when the server's log is
// full), the incremental-durability confirmation, and failed streams. Also the
// end-of-transfer wait. on_msg_received runs on the loop thread;
// wait_all_block_is_ack on the worker thread.
#pragma once

#include <stdint.h>

#include "proto/reply_record.h"
#include "proto/uv_msg_framing.h"

// What a decoded reply asks for.
enum reply_kind_t { REPLY_ACK, REPLY_BINLOG_OK, REPLY_BINLOG_FULL, REPLY_FSYNC_DONE };
reply_kind_t classify_reply(const reply_record& r);

// Message callback of every pooled stream. A read failure or corrupt framing
// closes the stream and drops it from the pool; an image that does not decode
// is ignored; a binlog above the limit ends the process with _exit(0).
void on_msg_received(uv_msg_t* client, void* msg, int size);

// Acknowledgement of the block at (devno, offset, size): drops the matching
// held blocks of this server, then marks the ledger rows acknowledged.
void apply_block_ack(int devno, int64_t offset, int size);

// Worker thread: returns once the ledger holds no unacknowledged byte and, in
// incremental mode, the server confirmed durability; then sets all_done.
void wait_all_block_is_ack();
