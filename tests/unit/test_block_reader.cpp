#include "agent/block_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <vector>

#include "proto/block_message_decode.h"
#include "transfer_fixture.h"

namespace {

constexpr int64_t MiB = 1048576;

// Mixed content: pseudo-random bytes with a zero-filled stretch, so blocks
// differ from one another and compress differently.
std::string mixed_bytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; i++) {
    if ((i / MiB) % 3 == 1) continue;
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

struct sent_block_t {
  int devno;
  int64_t offset;
  std::string bytes;
};

// Every queued block message, decoded, keyed by disk offset.
std::map<int64_t, sent_block_t> take_sent_blocks() {
  std::map<int64_t, sent_block_t> out;
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  std::vector<unsigned char> content(kMaxBlockContent);
  char* buf = nullptr;
  int size = 0;
  while (pop_data_from_waitlist(&buf, &size) == 0) {
    block_message_t m;
    std::string error;
    EXPECT_EQ(0, decode_block_message(dctx, buf, static_cast<size_t>(size), content.data(),
                                      content.size(), &m, &error))
        << error;
    out[m.offset] = {m.devno, m.offset, std::string(reinterpret_cast<const char*>(m.data),
                                                    static_cast<size_t>(m.length))};
    free(buf);
  }
  ZSTD_freeDCtx(dctx);
  return out;
}

std::atomic<int64_t> g_fail_at{-1};  // file position whose read fails with EIO

ssize_t read_failing_at(int fd, void* buf, size_t count) {
  if (lseek(fd, 0, SEEK_CUR) == g_fail_at.load()) {
    errno = EIO;
    return -1;
  }
  return read(fd, buf, count);
}

int lookup_always_fails(int, int64_t, int, const char*) { return -1; }

}  // namespace

class BlockReader : public TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    path_ = dir_ + "disk.img";
  }
  void TearDown() override {
    set_block_read_fn(nullptr);
    set_block_lookup_fn(nullptr);
    TransferFixture::TearDown();
  }

  void write_image(const std::string& bytes) {
    FILE* f = fopen(path_.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
    fclose(f);
  }

  // Runs one range and waits for its messages (one per block sent).
  std::map<int64_t, sent_block_t> run(uint64_t offset, uint64_t length, int devno,
                                      volume_info_t* volume, size_t expect_messages) {
    sync_send(nullptr, path_.c_str(), offset, length, devno, volume);
    EXPECT_EQ(expect_messages, wait_for_waitlist_size(expect_messages));
    return take_sent_blocks();
  }

  void ack_everything_held() {
    for (auto& e : unacker->blockchain) {
      ack_block_rows(e.second->devno, e.second->offset, e.second->datalength);
      free_block(e.second);
    }
    unacker->blockchain.clear();
    unacker->last_send_time.clear();
  }

  std::string path_;
};

TEST_F(BlockReader, HashTextIsUnsignedDecimal) {
  EXPECT_EQ("17241709254077376921", block_hash_text("", 0));  // XXH64 of nothing, seed 0
  std::string h = block_hash_text("abc", 3);
  EXPECT_EQ(std::string::npos, h.find_first_not_of("0123456789"));
  EXPECT_NE('0', h[0]);
}

TEST_F(BlockReader, RangeOf20MiBGivesBlocksOf8And8And4) {
  std::string disk = mixed_bytes(24 * MiB, 1);
  write_image(disk);
  auto sent = run(2 * MiB, 20 * MiB, 3, nullptr, 3);
  ASSERT_EQ(3u, sent.size());
  struct { int64_t offset; int64_t size; } want[] = {
      {2 * MiB, 8 * MiB}, {10 * MiB, 8 * MiB}, {18 * MiB, 4 * MiB}};
  for (auto& w : want) {
    SCOPED_TRACE(w.offset);
    ASSERT_EQ(1u, sent.count(w.offset));
    EXPECT_EQ(3, sent[w.offset].devno);
    EXPECT_TRUE(sent[w.offset].bytes == disk.substr(static_cast<size_t>(w.offset),
                                                    static_cast<size_t>(w.size)));
  }
  EXPECT_EQ(3, unacker->get_length());
  EXPECT_EQ(20 * MiB, count_unack_block());
}

TEST_F(BlockReader, ExactMultipleMakesNoExtraRead) {
  write_image(mixed_bytes(16 * MiB, 2));
  auto sent = run(0, 16 * MiB, 0, nullptr, 2);
  EXPECT_EQ(2u, sent.size());
  EXPECT_EQ(16 * MiB, count_unack_block());
}

TEST_F(BlockReader, LengthZeroReadsToTheEndAndShortDeviceStops) {
  std::string disk = mixed_bytes(12 * MiB + 4096, 3);
  write_image(disk);
  auto to_end = run(0, 0, 0, nullptr, 2);
  ASSERT_EQ(2u, to_end.size());
  EXPECT_EQ(4 * MiB + 4096, static_cast<int64_t>(to_end[8 * MiB].bytes.size()));
  ack_everything_held();

  // A range longer than the device: the device's end ends the range.
  std::string other = mixed_bytes(12 * MiB + 4096, 4);
  write_image(other);
  auto short_dev = run(0, 40 * MiB, 0, nullptr, 2);
  EXPECT_EQ(2u, short_dev.size());
}

TEST_F(BlockReader, VolumeBlocksCarryDiskOffsets) {
  write_image(mixed_bytes(3 * MiB, 5));
  volume_info_t v{};
  v.device_index = 2;
  v.offset = 1 * MiB;
  v.size = 3 * MiB;
  auto sent = run(0, 3 * MiB, 2, &v, 1);
  ASSERT_EQ(1u, sent.count(1 * MiB));
  EXPECT_EQ(2, sent[1 * MiB].devno);
}

TEST_F(BlockReader, DedupSkipsAcknowledgedSameAndResendsChanged) {
  std::string disk = mixed_bytes(24 * MiB, 6);
  write_image(disk);
  run(0, 24 * MiB, 0, nullptr, 3);
  ack_everything_held();

  // Unchanged: nothing recorded, held or queued.
  sync_send(nullptr, path_.c_str(), 0, 24 * MiB, 0, nullptr);
  EXPECT_EQ(0, unacker->get_length());
  EXPECT_EQ(0, count_unack_block());
  EXPECT_EQ(0u, wait_for_waitlist_size(0, 300));

  // One byte changed in the middle block: only that block goes again.
  disk[9 * MiB] ^= 0x5a;
  write_image(disk);
  auto sent = run(0, 24 * MiB, 0, nullptr, 1);
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(1u, sent.count(8 * MiB));
  EXPECT_EQ(8 * MiB, count_unack_block());
}

// A failed look-up used to drop the block silently; now it is sent.
TEST_F(BlockReader, LookupFailureSendsTheBlock) {
  write_image(mixed_bytes(10 * MiB, 7));
  set_block_lookup_fn(lookup_always_fails);
  auto sent = run(0, 10 * MiB, 0, nullptr, 2);
  EXPECT_EQ(2u, sent.size());
  EXPECT_EQ(10 * MiB, count_unack_block());
}

// A read error used to abandon the rest of the range silently.
TEST_F(BlockReader, ReadErrorSkipsOnlyThatBlockAndIsRecorded) {
  std::string disk = mixed_bytes(24 * MiB, 8);
  write_image(disk);
  g_fail_at = 8 * MiB;
  set_block_read_fn(read_failing_at);
  auto sent = run(0, 24 * MiB, 1, nullptr, 2);
  EXPECT_EQ(1u, sent.count(0));
  ASSERT_EQ(1u, sent.count(16 * MiB));
  EXPECT_TRUE(sent[16 * MiB].bytes == disk.substr(16 * MiB, 8 * MiB));
  std::vector<failed_range_t> failed = failed_ranges();
  ASSERT_EQ(1u, failed.size());
  EXPECT_EQ(1, failed[0].devno);
  EXPECT_EQ(8 * MiB, failed[0].offset);
  EXPECT_EQ(8 * MiB, failed[0].length);
}

// Reading "to the end" past a failing last block stops at the device's end.
TEST_F(BlockReader, ReadErrorInLastBlockOfReadToEndStops) {
  write_image(mixed_bytes(20 * MiB, 11));
  g_fail_at = 16 * MiB;
  set_block_read_fn(read_failing_at);
  auto sent = run(0, 0, 0, nullptr, 2);
  EXPECT_EQ(2u, sent.size());
  std::vector<failed_range_t> failed = failed_ranges();
  ASSERT_EQ(1u, failed.size());
  EXPECT_EQ(16 * MiB, failed[0].offset);
  EXPECT_EQ(4 * MiB, failed[0].length);
}

TEST_F(BlockReader, WaitsWhileMoreThan12BlocksAreHeld) {
  write_image(mixed_bytes(1 * MiB, 9));
  for (int id = 1000; id < 1013; id++) unacker->add_block(new Block(id, "x", 1, id, 9));
  std::atomic<bool> finished{false};
  std::thread reader([&] {
    sync_send(nullptr, path_.c_str(), 0, 1 * MiB, 0, nullptr);
    finished = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(0, count_unack_block());  // nothing recorded while braked
  unacker->del_block_by_id(1000);     // 12 held: room again
  reader.join();
  EXPECT_TRUE(finished.load());
  EXPECT_EQ(1 * MiB, count_unack_block());
  EXPECT_EQ(1u, wait_for_waitlist_size(1));
}

TEST(ReaderDecisions, BrakeOnCountOrPendingBytes) {
  struct { int held; long long pending; bool wait; } cases[] = {
      {12, 0, false}, {13, 0, true}, {0, 26214400, false}, {0, 26214401, true}, {13, 26214401, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.held << " held, " << c.pending << " pending");
    EXPECT_EQ(c.wait, reader_must_wait(c.held, c.pending));
  }
}

// A failed INSERT used to register and send the block under a stale id.
TEST_F(BlockReader, UnwritableLedgerEndsWithStatus1) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  write_image(mixed_bytes(1 * MiB, 10));
  sqlite3_exec(g_db, "DROP TABLE T_BLOCK", nullptr, nullptr, nullptr);
  EXPECT_EXIT(sync_send(nullptr, path_.c_str(), 0, 1 * MiB, 0, nullptr),
              ::testing::ExitedWithCode(1), "");
}

TEST_F(BlockReader, MissingDeviceEndsWithStatus1) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(sync_send(nullptr, (dir_ + "nope").c_str(), 0, 0, 0, nullptr),
              ::testing::ExitedWithCode(1), "open error");
}
