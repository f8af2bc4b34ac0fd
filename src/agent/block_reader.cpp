#include "agent/block_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <uv.h>
#include <xxhash.h>

#include <algorithm>

#include "agent/agent_state.h"
#include "agent/blockman.h"
#include "agent/connection_pool.h"
#include "agent/ledger.h"
#include "agent/outgoing_queue.h"
#include "agent/progress.h"
#include "agent/run_failures.h"
#include "agent/support/slog.h"

namespace {

block_read_fn_t g_block_read = read;                      // set by tests before the worker starts
block_lookup_fn_t g_block_lookup = block_is_sent_and_ack;  // likewise

constexpr uint64_t kReadToEnd = 9999999999999999999ULL;  // "length 0": until the device ends
constexpr int kInsertAttempts = 5;                         // tries before the ledger is given up
constexpr int kInsertRetryMs = 200;                        // pause between tries

struct range_counters_t {
  int send = 0;
  int same = 0;
  int diff = 0;
};

// Waits while too many blocks are unacknowledged or too many bytes wait in the
// streams' write queues. The pending total is only measured when the count is
// low enough, so it is the most recent measurement that the progress line shows.
void wait_for_room() {
  long long pending = 0;
  unsigned long waits = 0;
  for (;;) {
    int held = unacker->get_length();
    if (held <= kMaxUnackBlocks) pending = static_cast<long long>(count_pending_size());
    if (!reader_must_wait(held, pending)) return;
    if (waits % 10000 == 0) {
      log_info("sleep, write_queue_totalsum %d %d", held, static_cast<int>(pending));
    }
    waits++;
    uv_sleep(kBrakeStepMs);
  }
}

// Writes the block's ledger row; the block is registered and sent only once
// its row exists, so the end-of-run accounting can never miss it.
int insert_row_or_die(int devno, int64_t disk_offset, int size, const char* hash) {
  for (int attempt = 1; attempt <= kInsertAttempts; attempt++) {
    int id = 0;
    if (insert_block_row(devno, disk_offset, size, hash, &id) == 0) return id;
    log_error("ledger INSERT failed for disk %d offset %lld (attempt %d of %d)", devno,
              static_cast<long long>(disk_offset), attempt, kInsertAttempts);
    if (attempt < kInsertAttempts) uv_sleep(kInsertRetryMs);
  }
  log_error("the ledger cannot be written; stopping: no block is sent without its ledger row");
  end_process_now(1);
}

void send_one_block(uv_msg_t* stream, int devno, int64_t disk_offset, char* buf, int size,
                    const char* hash) {
  int id = insert_row_or_die(devno, disk_offset, size, hash);
  unacker->add_block(new Block(id, buf, size, disk_offset, devno));
  progress_add_sent(size);
  send_block_to_queue_with_copy_in_new_thread(stream, devno, static_cast<uint64_t>(disk_offset),
                                              buf, size);
}

// Handles one block read from the device: hash, look-up, record and hand-over.
void handle_block(uv_msg_t* stream, int devno, int64_t disk_offset, char* buf, int size,
                  range_counters_t& counters) {
  std::string hash = block_hash_text(buf, static_cast<size_t>(size));
  int found = g_block_lookup(devno, disk_offset, size, hash.c_str());
  switch (dedup_outcome(found)) {
    case DEDUP_SAME:
      counters.same++;
      progress_add_skipped(size);
      break;
    case DEDUP_DIFF:
      counters.diff++;
      send_one_block(stream, devno, disk_offset, buf, size, hash.c_str());
      break;
    case DEDUP_LOOKUP_FAILED:
      // Unknown whether the server holds it: sending again is always safe.
      printf("error!\n");
      log_error("ledger look-up failed for disk %d offset %lld; sending the block", devno,
                static_cast<long long>(disk_offset));
      counters.send++;
      send_one_block(stream, devno, disk_offset, buf, size, hash.c_str());
      break;
    case DEDUP_SEND:
      counters.send++;
      send_one_block(stream, devno, disk_offset, buf, size, hash.c_str());
      break;
  }
}

}  // namespace

void set_block_read_fn(block_read_fn_t fn) { g_block_read = fn ? fn : read; }

void set_block_lookup_fn(block_lookup_fn_t fn) {
  g_block_lookup = fn ? fn : block_is_sent_and_ack;
}

std::string block_hash_text(const char* data, size_t size) {
  char text[24];
  snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(XXH64(data, size, 0)));
  return text;
}

dedup_outcome_t dedup_outcome(int lookup_result) {
  switch (lookup_result) {
    case 0: return DEDUP_SEND;
    case 1: return DEDUP_SAME;
    case 2: return DEDUP_DIFF;
    default: return DEDUP_LOOKUP_FAILED;
  }
}

bool reader_must_wait(int unacked_blocks, long long pending_write_bytes) {
  return unacked_blocks > kMaxUnackBlocks || pending_write_bytes > kMaxPendingWriteBytes;
}

int file_seek(int fd, int64_t offset) {
  log_info("file_seek: fd %d seek to offset %lld\n", fd, static_cast<long long>(offset));
  lseek(fd, static_cast<off_t>(offset), SEEK_SET);
  return 0;
}

void sync_send(uv_msg_t* stream, const char* path, uint64_t offset, uint64_t length, int devno,
               volume_info_t* volume) {
  log_info("sync_send %s\n", path);
  int fd = open(path, O_RDONLY);
  log_info("open %s as fd %d\n", path, fd);
  if (fd < 0) {
    fprintf(stderr, "open error: %s\n", strerror(errno));
    end_process_now(1);
  }
  // A disk and its partitions have separate page caches: what was written
  // through a partition (or a mounted file system) since the last run may
  // still be cached stale for the whole disk. Drop it so the read sees the
  // device as it is now.
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  // The device's end bounds the skipping of unreadable blocks (a failing
  // device must not make "read to the end" run forever).
  const off_t device_end = lseek(fd, 0, SEEK_END);
  file_seek(fd, static_cast<int64_t>(offset));
  log_info("fd %d seek to offset %lld\n", fd, static_cast<long long>(offset));
  if (length == 0) length = kReadToEnd;
  log_info("process %llu bytes\n", static_cast<unsigned long long>(length));

  const int64_t base = (volume ? volume->offset : 0) + static_cast<int64_t>(offset);
  uint64_t done = 0;
  range_counters_t counters;
  do {
    char* buf = static_cast<char*>(malloc(kReadBlockSize));
    if (buf == nullptr) {
      log_error("malloc error\n");
      end_process_now(1);
    }
    size_t want = static_cast<size_t>(std::min<uint64_t>(kReadBlockSize, length - done));
    ssize_t got;
    do {
      got = g_block_read(fd, buf, want);
    } while (got < 0 && errno == EINTR);
    if (got == 0) {
      log_info("file end\n");
      free(buf);
      break;
    }
    if (got < 0) {
      int err = errno;
      log_error("open error %d %d\n", static_cast<int>(got), err);
      // Skip only the unreadable block; the run still ends with status 1.
      int64_t bad_offset = base + static_cast<int64_t>(done);
      uint64_t bad_length = want;
      if (device_end >= 0 && offset + done < static_cast<uint64_t>(device_end)) {
        bad_length = std::min<uint64_t>(want, static_cast<uint64_t>(device_end) - (offset + done));
      }
      char why[64];
      snprintf(why, sizeof why, "read error %d", err);
      note_failed_range(path, devno, bad_offset, static_cast<int64_t>(bad_length), why);
      free(buf);
      done += want;
      if (device_end >= 0 && offset + done >= static_cast<uint64_t>(device_end)) break;
      file_seek(fd, static_cast<int64_t>(offset + done));
      continue;
    }
    if (static_cast<size_t>(got) < want) log_info("readbytes %d\n", static_cast<int>(got));

    progress_add_read(got);
    wait_for_room();
    int64_t disk_offset = base + static_cast<int64_t>(done);
    done += static_cast<uint64_t>(got);
    handle_block(stream, devno, disk_offset, buf, static_cast<int>(got), counters);
    log_info("send %d, same: %d, diff: %d\n", counters.send, counters.same, counters.diff);
    free(buf);
  } while (done < length);

  close(fd);
  wf_sleep(1);
  log_info("sync_end end\n");
  wake_sender_for_blocks();
}
