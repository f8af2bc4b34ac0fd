// Blocks handed to the network in this run and not yet acknowledged, each with
// its own copy of the bytes so a late block can be resent without touching the
// disk again. The worker thread adds blocks; the loop thread drops them on
// acknowledgement and inspects them for resends. Every method takes mLock.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <mutex>

// New malloc'ed copy of `size` bytes of `source`; null when `source` is null,
// `size` is not positive or memory is short. The caller frees it.
void* _memdup(const void* source, int size);

// One sent block. `data` is owned by the record (null for length 0 or when
// the copy could not be made); release the record with free_block().
struct Block {
  char* data;
  int datalength;
  int64_t offset;  // byte offset on its disk
  int devno;       // the disk's device_index
  int blockid;     // ledger row ID

  // Copies `_datalength` bytes of `_data`; the caller keeps `_data`.
  Block(int _blockid, const char* _data, int _datalength, int64_t _offset, int _devno);
};

// Frees the block's bytes and the record itself; null is ignored.
void free_block(Block* b);

class UnackBlockManager {
 public:
  std::mutex mLock;                        // guards both maps and the blocks they reach
  std::map<int, Block*> blockchain;        // held blocks by id
  std::map<int, long> last_send_time;      // seconds since the epoch of the last (re)send

  UnackBlockManager() = default;
  UnackBlockManager(const UnackBlockManager&) = delete;
  UnackBlockManager& operator=(const UnackBlockManager&) = delete;

  // Number of held blocks.
  int get_length();

  // Takes ownership of `b`, files it under its blockid and stamps it with the
  // current time. A block already held under the same id is released first, so
  // it can never leak. Returns 0.
  int add_block(Block* b);

  // Null (lock free again) when `blockid` is not held; otherwise the block with
  // mLock STILL HELD: read it, read or restamp last_send_time[blockid], then
  // call unlock_block() exactly once. Call no other method in between.
  Block* carry_block_by_id(int blockid);
  void unlock_block();

  // Releases the block held under `blockid` and forgets its time stamp; logs
  // "blockchain count==0, pass" when nothing is held under it. Returns 0.
  int del_block_by_id(int blockid);
};

extern UnackBlockManager* unacker;  // the one manager; made before main, never destroyed
