#include "agent/supervisor.h"

#include <gtest/gtest.h>

#include "agent/connection_pool.h"
#include "agent/disks.h"
#include "agent/planner.h"
#include "transfer_fixture.h"

TEST(Supervisor, RefillCountBoundsAttemptsInFlight) {
  struct { int connected, connecting, want; } cases[] = {
      {10, 0, 0}, {7, 0, 3}, {0, 0, 10}, {0, 10, 0}, {3, 4, 3}, {5, 5, 0}, {12, 0, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.connected << " connected, " << c.connecting << " connecting");
    EXPECT_EQ(c.want, refill_count(c.connected, c.connecting));
  }
}

TEST(Supervisor, ResendDueAfterMoreThan1200sWithRoomInQueue) {
  const long now = 1700000000;
  struct { const char* name; long age; size_t waiting; bool want; } cases[] = {
      {"fresh", 0, 0, false},
      {"exactly 1200 s", 1200, 0, false},
      {"1201 s", 1201, 0, true},
      {"1201 s, 7 waiting", 1201, 7, true},
      {"1201 s, 8 waiting", 1201, 8, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, resend_due(now, now - c.age, c.waiting));
  }
}

TEST(Supervisor, CompletionNeedsPlannerDoneAndNothingHeld) {
  struct { const char* name; bool done; int held; size_t failed; completion_t want; } cases[] = {
      {"planner still reading", false, 0, 0, RUN_CONTINUES},
      {"done, one block held", true, 1, 0, RUN_CONTINUES},
      {"done, all acknowledged", true, 0, 0, RUN_SUCCEEDED},
      {"done, a range unreadable", true, 0, 2, RUN_FAILED},
      {"unreadable but blocks still held", true, 3, 2, RUN_CONTINUES},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.want, completion_decision(c.done, c.held, c.failed));
  }
}

// Devices numbered 32 and above used to be left out of the resend scan.
TEST(Supervisor, ResendScansEveryInventoryDevice) {
  disk_info_t a{}, b{}, c{};
  a.device_index = 0;
  b.device_index = 40;
  c.device_index = 3;
  std::vector<disk_info_t*> saved = g_disks;
  g_disks = {&a, &b, &c};
  std::vector<int> devnos = resend_devices();
  g_disks = saved;
  EXPECT_EQ((std::vector<int>{0, 3, 40}), devnos);
}

class SupervisorResend : public TransferFixture {
 protected:
  // Holds a block of `bytes` at (devno, offset) whose last send was at `sent_at`.
  int hold_block(int devno, int64_t offset, const std::string& bytes, long sent_at) {
    int id = insert_row(devno, offset, static_cast<int>(bytes.size()));
    unacker->add_block(new Block(id, bytes.data(), static_cast<int>(bytes.size()), offset, devno));
    unacker->last_send_time[id] = sent_at;
    return id;
  }
};

TEST_F(SupervisorResend, ResendsOnlyOldHeldBlocksAndRestamps) {
  const long now = 1700000000;
  int old_id = hold_block(40, 0, "old block", now - 1201);
  int young_id = hold_block(40, 8388608, "young block", now - 1200);
  insert_row(40, 16777216, 10);  // an earlier run's row: not held, skipped

  EXPECT_EQ(1, resend_pass(now, {40}));
  EXPECT_EQ(1u, wait_for_waitlist_size(1));
  EXPECT_EQ(now, unacker->last_send_time[old_id]);
  EXPECT_EQ(now - 1200, unacker->last_send_time[young_id]);

  // Restamped: not again until more than 1200 s after this resend.
  EXPECT_EQ(1, resend_pass(now + 1200, {40}));  // only the young one, now 2400 s old
  EXPECT_EQ(now, unacker->last_send_time[old_id]);
  EXPECT_EQ(1, resend_pass(now + 1201, {40}));
  EXPECT_EQ(now + 1201, unacker->last_send_time[old_id]);
  EXPECT_EQ(3u, wait_for_waitlist_size(3));
}

TEST_F(SupervisorResend, BusyQueueDefersResendWithoutRestamp) {
  const long now = 1700000000;
  int id = hold_block(1, 0, "late", now - 5000);
  for (int i = 0; i < 8; i++) add_to_send_waitlist(static_cast<char*>(malloc(1)), 1);
  EXPECT_EQ(0, resend_pass(now, {1}));
  EXPECT_EQ(now - 5000, unacker->last_send_time[id]);
  drain_waitlist();
  EXPECT_EQ(1, resend_pass(now, {1}));
}

TEST_F(SupervisorResend, DeviceNotScannedIsNotResent) {
  const long now = 1700000000;
  hold_block(5, 0, "late", now - 5000);
  EXPECT_EQ(0, resend_pass(now, {0, 1}));
}

// The completion step of a tick: a run with an unreadable range must never
// end with status 0.
class SupervisorTick : public TransferFixture {
 protected:
  void SetUp() override {
    TransferFixture::SetUp();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uv_loop_init(&test_loop_);
    loop = &test_loop_;
    uv_ip4_addr("127.0.0.1", 9, &dest4);  // nothing listens: refill attempts just fail
    dest_ptr = reinterpret_cast<const sockaddr*>(&dest4);
  }
  void TearDown() override {
    uv_run(&test_loop_, UV_RUN_DEFAULT);  // refused attempts complete; their streams are freed
    EXPECT_EQ(0, pending_connection_attempts());
    EXPECT_EQ(0, uv_loop_close(&test_loop_));
    loop = nullptr;
    TransferFixture::TearDown();
  }
  uv_loop_t test_loop_;
};

TEST_F(SupervisorTick, KeepsRunningUntilPlannerDone) {
  all_done = false;
  timer_cb(nullptr);  // returns: nothing to end yet
  EXPECT_EQ(10, pending_connection_attempts());
  timer_cb(nullptr);  // attempts still pending: no new ones
  EXPECT_EQ(10, pending_connection_attempts());
}

TEST_F(SupervisorTick, WaitsForThePlannerToReturn) {
  all_done = true;
  planner_returned = false;
  timer_cb(nullptr);  // returns: the worker may still be logging
  all_done = false;
}

TEST_F(SupervisorTick, EndsWithStatus0WhenEverythingReplicated) {
  all_done = true;
  planner_returned = true;
  EXPECT_EXIT(timer_cb(nullptr), ::testing::ExitedWithCode(0), "");
  all_done = false;
}

TEST_F(SupervisorTick, EndsWithStatus1WhenARangeWasNotRead) {
  all_done = true;
  planner_returned = true;
  note_failed_range("/dev/sdx", 0, 8388608, 8388608, "read error 5");
  EXPECT_EXIT(timer_cb(nullptr), ::testing::ExitedWithCode(1), "");
  all_done = false;
}
