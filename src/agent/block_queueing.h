// Turns one block into its block data message and appends it to the outgoing
// wait list. Runs on the short-lived block threads (several at once) and on
// nothing else that must stay responsive: compressing 8 MiB takes milliseconds.
#pragma once

#include <stdint.h>

#include "proto/uv_msg_framing.h"

// Packs [block_id, offset, bytes], compresses it (zstd level 1), logs the
// ratio and appends "abc" + the zstd frame to the wait list. `block_id`
// carries the block's device number; `socket` is unused (the sender picks the
// connection). Reads buf, never frees it. Always returns 0: when zstd or the
// packing buffer fails, nothing is queued and the block stays unacknowledged
// for the supervisor to resend. When the compression buffer cannot be
// allocated it logs "zstd malloc error" and aborts the process.
int send_block_to_queue(uv_msg_t* socket, int block_id, uint64_t offset, char* buf, int size);

// New malloc block of size + 3 bytes: "abc" then size bytes of source. Null
// when source is null, size <= 0 or memory is short.
void* magic_memdup(const void* source, int size);
