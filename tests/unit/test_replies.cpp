#include "agent/replies.h"

#include <gtest/gtest.h>

#include "proto/reply_image.h"
#include "proto/wire_constants.h"
#include "transfer_fixture.h"

namespace {

void deliver(int32_t type, int32_t devno, int64_t offset, int32_t size) {
  unsigned char image[kReplyImageSize];
  write_reply_image(type, devno, offset, size, image);
  on_msg_received(nullptr, image, kReplyImageSize);
}

reply_record rec(int type, int64_t offset) {
  reply_record r{};
  r.type = type;
  r.offset = offset;
  return r;
}

}  // namespace

TEST(Replies, ClassifyByTypeAndBinlogLimit) {
  const int64_t limit = bf_proto::kBinlogLimit;
  struct { const char* name; reply_record r; reply_kind_t want; } cases[] = {
      {"type 0 acknowledges", rec(0, 5), REPLY_ACK},
      {"type 7 acknowledges too", rec(7, 5), REPLY_ACK},
      {"negative type acknowledges", rec(-1, 5), REPLY_ACK},
      {"binlog at the limit", rec(1, limit), REPLY_BINLOG_OK},
      {"binlog one byte above", rec(1, limit + 1), REPLY_BINLOG_FULL},
      {"durability confirmed", rec(2, 0), REPLY_FSYNC_DONE},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, classify_reply(c.r));
  }
}

TEST(RepliesDeathTest, BinlogAboveLimitExitsZero) {
  EXPECT_EXIT(deliver(1, 0, bf_proto::kBinlogLimit + 1, 0), ::testing::ExitedWithCode(0), "");
}

class RepliesLedger : public TransferFixture {
 protected:
  int hold(int devno, int64_t offset, int size) {
    int id = insert_row(devno, offset, size);
    std::string bytes(static_cast<size_t>(size), 'x');
    unacker->add_block(new Block(id, bytes.data(), size, offset, devno));
    return id;
  }
};

TEST_F(RepliesLedger, AckDropsHeldBlockAndMarksRow) {
  hold(0, 8388608, 100);
  hold(0, 0, 100);
  deliver(0, 0, 8388608, 100);
  EXPECT_EQ(1, unacker->get_length());
  EXPECT_EQ(100, count_unack_block());  // the other block is still open
  EXPECT_EQ(100, get_sent_block_size());
}

TEST_F(RepliesLedger, RepeatedAckChangesNothingMore) {
  hold(1, 0, 64);
  deliver(0, 1, 0, 64);
  deliver(0, 1, 0, 64);
  EXPECT_EQ(0, unacker->get_length());
  EXPECT_EQ(0, count_unack_block());
  EXPECT_EQ(64, get_sent_block_size());
}

TEST_F(RepliesLedger, AckAlsoMarksEarlierRunRowAtSamePosition) {
  insert_row(0, 0, 64, "111");  // left by an earlier run, never held
  hold(0, 0, 64);
  deliver(0, 0, 0, 64);
  EXPECT_EQ(0, unacker->get_length());
  EXPECT_EQ(0, count_unack_block());
  EXPECT_EQ(128, get_sent_block_size());
}

TEST_F(RepliesLedger, AckForOtherSizeOrDeviceDropsNothing) {
  hold(0, 0, 64);
  deliver(0, 0, 0, 65);
  deliver(0, 1, 0, 64);
  EXPECT_EQ(1, unacker->get_length());
  EXPECT_EQ(64, count_unack_block());
}

TEST_F(RepliesLedger, RejectedImageIsIgnored) {
  hold(0, 0, 64);
  unsigned char image[kReplyImageSize + 1];
  write_reply_image(0, 0, 0, 64, image);
  image[kReplyImageSize] = 0;
  // One byte too many: the decoder rejects it and nothing is acted on.
  on_msg_received(nullptr, image, kReplyImageSize + 1);
  // Not an image at all.
  char junk[] = "ctlEndIncremental";
  on_msg_received(nullptr, junk, sizeof junk);
  EXPECT_EQ(1, unacker->get_length());
  EXPECT_EQ(64, count_unack_block());
}

TEST_F(RepliesLedger, DurabilityConfirmationSetsFlagOnly) {
  server_incremental_data_fsync = false;
  hold(0, 0, 64);
  deliver(2, 0, 0, 64);
  EXPECT_TRUE(server_incremental_data_fsync.load());
  EXPECT_EQ(1, unacker->get_length());
  server_incremental_data_fsync = false;
}

TEST_F(RepliesLedger, BinlogBelowLimitChangesNothing) {
  hold(0, 0, 64);
  deliver(1, 0, bf_proto::kBinlogLimit, 64);
  EXPECT_EQ(1, unacker->get_length());
  EXPECT_EQ(64, count_unack_block());
}

TEST_F(RepliesLedger, WaitEndsWhenLedgerHasNoUnackedBytes) {
  all_done = false;
  incremental_mode = 0;
  wait_all_block_is_ack();  // nothing open: returns after one second
  EXPECT_TRUE(all_done.load());
  all_done = false;
}
