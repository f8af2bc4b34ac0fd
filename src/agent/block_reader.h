// The block reader: reads one range of a device in 8 MiB blocks, hashes each
// block, skips blocks the server already acknowledged with the same content,
// records the rest in the ledger, registers them as unacknowledged and hands
// them to the outgoing queue. Runs on the planner's worker thread only.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>

#include "agent/disks.h"
#include "proto/uv_msg_framing.h"

constexpr int kReadBlockSize = 8388608;             // bytes per read
constexpr int kMaxUnackBlocks = 12;                 // reader waits while more are held
constexpr long long kMaxPendingWriteBytes = 26214400;  // reader waits while more are queued
constexpr int kBrakeStepMs = 50;                    // one back-pressure wait step

// Reads `length` bytes of `path` from `offset` (0: to the device's end) and
// sends what the server lacks; `devno` and `volume` give the disk coordinates.
// A block that cannot be read is skipped, recorded (run_failures.h) and the
// rest of the range is still read. Ends the process with status 1 when the
// device cannot be opened, memory is short, or the ledger stays unwritable.
void sync_send(uv_msg_t* stream, const char* path, uint64_t offset, uint64_t length, int devno,
               volume_info_t* volume);

// Positions `fd` at `offset` from the start; returns 0.
int file_seek(int fd, int64_t offset);

// Decimal text of XXH64 (seed 0) of the bytes, as the ledger's HASH column holds it.
std::string block_hash_text(const char* data, size_t size);

// What to do with a block, from block_is_sent_and_ack's answer.
enum dedup_outcome_t { DEDUP_SEND, DEDUP_SAME, DEDUP_DIFF, DEDUP_LOOKUP_FAILED };
dedup_outcome_t dedup_outcome(int lookup_result);

// True while the reader must wait before handing over another block.
bool reader_must_wait(int unacked_blocks, long long pending_write_bytes);

// The read call the reader uses (read(2) unless a test installs another);
// null restores read(2).
typedef ssize_t (*block_read_fn_t)(int fd, void* buf, size_t count);
void set_block_read_fn(block_read_fn_t fn);

// The ledger look-up the reader uses (block_is_sent_and_ack unless a test
// installs another); null restores it.
typedef int (*block_lookup_fn_t)(int devno, int64_t offset, int size, const char* hash);
void set_block_lookup_fn(block_lookup_fn_t fn);
