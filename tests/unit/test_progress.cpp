#include "agent/progress.h"

#include <gtest/gtest.h>

TEST(Progress, LineHasEveryKeyInStableOrder) {
  progress_snapshot_t s;
  s.disk = "/dev/sdx";
  s.planned = 1000000000;
  s.read = 250000000;
  s.skipped = 50000000;
  s.sent = 200000000;
  s.acked = 150000000;
  s.unacked_blocks = 3;
  s.elapsed_s = 10;
  EXPECT_EQ(
      "disk=/dev/sdx planned=1000000000 read=250000000 skipped=50000000 sent=200000000 "
      "acked=150000000 unacked_blocks=3 read_mbps=25.0 send_mbps=20.0 done_pct=25.0 eta_s=30",
      progress_format(s));
}

TEST(Progress, RatesPercentAndEtaEdgeCases) {
  struct {
    const char* name;
    int64_t planned, read;
    double elapsed;
    const char* tail;
  } cases[] = {
      {"nothing read yet", 100, 0, 0, "read_mbps=0.0 send_mbps=0.0 done_pct=0.0 eta_s=-1"},
      {"nothing planned", 0, 0, 5, "read_mbps=0.0 send_mbps=0.0 done_pct=0.0 eta_s=-1"},
      {"all read", 2000000, 2000000, 1, "read_mbps=2.0 send_mbps=0.0 done_pct=100.0 eta_s=0"},
      {"read past the plan (device longer)", 1000000, 3000000, 1,
       "read_mbps=3.0 send_mbps=0.0 done_pct=100.0 eta_s=0"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    progress_snapshot_t s;
    s.disk = "-";
    s.planned = c.planned;
    s.read = c.read;
    s.elapsed_s = c.elapsed;
    std::string line = progress_format(s);
    EXPECT_NE(std::string::npos, line.find(c.tail)) << line;
  }
}

TEST(Progress, CountersAccumulateIntoSnapshot) {
  progress_set_planned(64);
  progress_set_disk("/dev/sdy");
  progress_add_read(16);
  progress_add_read(16);
  progress_add_skipped(8);
  progress_add_sent(24);
  progress_add_acked(24);
  progress_snapshot_t s = progress_snapshot(1e9, 2);
  EXPECT_EQ("/dev/sdy", s.disk);
  EXPECT_EQ(64, s.planned);
  EXPECT_EQ(32, s.read);
  EXPECT_EQ(8, s.skipped);
  EXPECT_EQ(24, s.sent);
  EXPECT_EQ(24, s.acked);
  EXPECT_EQ(2, s.unacked_blocks);
  EXPECT_GT(s.elapsed_s, 0);
}
