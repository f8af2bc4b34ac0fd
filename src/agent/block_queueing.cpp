#include "agent/block_queueing.h"

#include <stdlib.h>
#include <string.h>

#include "agent/support/slog.h"
#include "agent/waitlist.h"
#include "proto/block_message.h"

void* magic_memdup(const void* source, int size) {
  if (source == nullptr || size <= 0) return nullptr;
  char* p = static_cast<char*>(malloc(static_cast<size_t>(size) + kBlockMarkerSize));
  if (p == nullptr) return nullptr;
  memcpy(p, kBlockMarker, kBlockMarkerSize);
  memcpy(p + kBlockMarkerSize, source, static_cast<size_t>(size));
  return p;
}

int send_block_to_queue(uv_msg_t* /*socket*/, int block_id, uint64_t offset, char* buf,
                        int size) {
  encoded_block_t m;
  int rc = block_message_build(block_id, offset, buf, size, &m);
  if (rc == BLOCK_MSG_NOMEM_COMPRESS) {
    log_info("zstd malloc error");
    abort();
  }
  if (rc != BLOCK_MSG_OK) {
    // Nothing queued: the block stays unacknowledged and is resent later.
    log_error("block message for device %d offset %llu not built: %s", block_id,
              static_cast<unsigned long long>(offset), m.error);
    return 0;
  }
  log_info("compress ratio: %d%%", block_message_ratio(m.csize, m.bound));
  add_to_send_waitlist(m.msg, m.msg_size);
  return 0;
}
