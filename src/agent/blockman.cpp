#include "agent/blockman.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "agent/support/slog.h"

UnackBlockManager* unacker = new UnackBlockManager();  // created at load, never destroyed

void* _memdup(const void* source, int size) {
  if (source == nullptr || size <= 0) return nullptr;
  void* copy = malloc(static_cast<size_t>(size));
  if (copy == nullptr) return nullptr;
  memcpy(copy, source, static_cast<size_t>(size));
  return copy;
}

Block::Block(int _blockid, const char* _data, int _datalength, int64_t _offset, int _devno)
    : data(static_cast<char*>(_memdup(_data, _datalength))),
      datalength(_datalength),
      offset(_offset),
      devno(_devno),
      blockid(_blockid) {}

void free_block(Block* b) {
  if (b == nullptr) return;
  free(b->data);
  delete b;
}

int UnackBlockManager::get_length() {
  std::lock_guard<std::mutex> guard(mLock);
  return static_cast<int>(blockchain.size());
}

int UnackBlockManager::add_block(Block* b) {
  std::lock_guard<std::mutex> guard(mLock);
  auto it = blockchain.find(b->blockid);
  if (it != blockchain.end() && it->second != b) free_block(it->second);
  blockchain[b->blockid] = b;
  last_send_time[b->blockid] = static_cast<long>(time(nullptr));
  return 0;
}

Block* UnackBlockManager::carry_block_by_id(int blockid) {
  mLock.lock();
  auto it = blockchain.find(blockid);
  if (it == blockchain.end()) {
    mLock.unlock();
    return nullptr;
  }
  return it->second;  // the caller releases mLock through unlock_block()
}

void UnackBlockManager::unlock_block() { mLock.unlock(); }

int UnackBlockManager::del_block_by_id(int blockid) {
  std::lock_guard<std::mutex> guard(mLock);
  auto it = blockchain.find(blockid);
  if (it == blockchain.end()) {
    log_info("blockchain count==0, pass");
    return 0;
  }
  free_block(it->second);
  blockchain.erase(it);
  last_send_time.erase(blockid);
  return 0;
}
