#include "server/server_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int parse(std::vector<std::string> args, server_options_t* opts, std::string* error) {
  std::vector<char*> argv;
  static char name[] = "blockferry-server";
  argv.push_back(name);
  for (auto& a : args) argv.push_back(&a[0]);
  return parse_server_options(static_cast<int>(argv.size()), argv.data(), opts, error);
}

TEST(ServerOptions, DefaultsNeedOnlyTheDirectory) {
  server_options_t o;
  std::string error;
  ASSERT_EQ(0, parse({"--dir", "/srv/images"}, &o, &error)) << error;
  EXPECT_EQ("/srv/images", o.dir);
  EXPECT_TRUE(o.listen.empty());  // all addresses, port 3389
  EXPECT_EQ(30000, o.binlog_interval_ms);
  EXPECT_EQ(4, o.max_inflight);
  EXPECT_EQ(0, o.fault.close_after_messages);
  EXPECT_EQ(0, o.fault.drop_ack_every);
  EXPECT_EQ(0, o.fault.ack_delay_ms);
  EXPECT_EQ(-1, o.fault.binlog_size);
}

TEST(ServerOptions, ParsesEveryOption) {
  server_options_t o;
  std::string error;
  ASSERT_EQ(0, parse({"--dir", "d", "--listen", "127.0.0.1:0", "--listen", "[::1]:3390",
                      "--log-file", "l", "--binlog-interval-ms", "50", "--stats-every", "10",
                      "--max-connections", "20", "--max-inflight", "2", "--max-pending-replies", "8",
                      "--memory-budget-mb", "128", "--fault-close-after", "3",
                      "--fault-drop-ack-every", "5", "--fault-ack-delay-ms", "100",
                      "--fault-binlog-size", "10737418241"},
                     &o, &error))
      << error;
  ASSERT_EQ(2u, o.listen.size());
  EXPECT_EQ("127.0.0.1", o.listen[0].host);
  EXPECT_EQ(0, o.listen[0].port);
  EXPECT_EQ("::1", o.listen[1].host);
  EXPECT_EQ(3390, o.listen[1].port);
  EXPECT_EQ("l", o.log_file);
  EXPECT_EQ(50, o.binlog_interval_ms);
  EXPECT_EQ(10, o.stats_every_blocks);
  EXPECT_EQ(20, o.max_connections);
  EXPECT_EQ(2, o.max_inflight);
  EXPECT_EQ(8, o.max_pending_replies);
  EXPECT_EQ(128LL << 20, o.memory_budget);
  EXPECT_EQ(3, o.fault.close_after_messages);
  EXPECT_EQ(5, o.fault.drop_ack_every);
  EXPECT_EQ(100, o.fault.ack_delay_ms);
  EXPECT_EQ(10737418241LL, o.fault.binlog_size);
}

TEST(ServerOptions, RejectsBadCommandLines) {
  struct {
    const char* name;
    std::vector<std::string> args;
    const char* reason;
  } cases[] = {
      {"no dir", {}, "--dir DIR is required"},
      {"dir without value", {"--dir"}, "--dir needs a value"},
      {"unknown option", {"--dir", "d", "--fast"}, "unknown option '--fast'"},
      {"listen without port", {"--dir", "d", "--listen", "127.0.0.1"}, "bad --listen"},
      {"listen with host name", {"--dir", "d", "--listen", "localhost:1"}, "bad --listen"},
      {"listen port too big", {"--dir", "d", "--listen", "127.0.0.1:65536"}, "bad --listen"},
      {"bare ipv6", {"--dir", "d", "--listen", "::1:3389"}, "bad --listen"},
      {"number with junk", {"--dir", "d", "--max-inflight", "4x"}, "--max-inflight needs"},
      {"zero interval", {"--dir", "d", "--binlog-interval-ms", "0"}, "--binlog-interval-ms needs"},
      {"negative binlog size", {"--dir", "d", "--fault-binlog-size", "-1"}, "--fault-binlog-size"},
      {"missing number", {"--dir", "d", "--stats-every"}, "--stats-every needs"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_options_t o;
    std::string error;
    EXPECT_EQ(-1, parse(c.args, &o, &error));
    EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
  }
}

TEST(ServerOptions, HelpNamesEveryOption) {
  std::string usage = server_usage();
  for (const char* opt : {"--dir", "--listen", "--log-file", "--binlog-interval-ms", "--stats-every",
                          "--max-connections", "--max-inflight", "--max-pending-replies",
                          "--memory-budget-mb", "--fault-close-after", "--fault-drop-ack-every",
                          "--fault-ack-delay-ms", "--fault-binlog-size"}) {
    SCOPED_TRACE(opt);
    EXPECT_NE(std::string::npos, usage.find(opt));
  }
  server_options_t o;
  std::string error;
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, parse({"--help"}, &o, &error));
  EXPECT_EQ(usage, testing::internal::GetCapturedStdout());
}

}  // namespace
