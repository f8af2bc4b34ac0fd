// The server over loopback: a real listener on a free port, a blocking test
// client sending real block messages and control commands.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <xxhash.h>

#include <cinttypes>
#include <algorithm>
#include <memory>
#include <tuple>

#include <zstd.h>

#include "proto/block_message_decode.h"
#include "proto/reply_image.h"
#include "server_test_client.h"

using namespace server_test;

namespace {

class ServerLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = make_temp_dir();
    ASSERT_FALSE(root_.empty());
    log_path_ = root_ + "/server.log";
    ASSERT_EQ(0, server_log_open(log_path_.c_str()));
    opts_.dir = root_ + "/images";
  }

  void TearDown() override {
    server_.reset();
    server_log_close();
    if (getenv("KEEP")) return;  // KEEP=1 leaves images and log for a look
    std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
  }

  void start() {
    server_ = std::make_unique<running_server_t>();
    ASSERT_EQ(0, server_->start(opts_));
  }

  // Stops the server and checks that it left nothing behind on its loop.
  void stop() {
    server_->stop();
    EXPECT_EQ(0, server_->loop_close_rc);
    EXPECT_EQ(0, server_->exit_status);
  }

  std::string image(const char* agent, int devno) {
    return read_file(opts_.dir + "/" + agent + "/disk" + std::to_string(devno) + ".img");
  }
  std::string log() { return read_file(log_path_); }
  bool log_has(const std::string& text) {
    return wait_for([&] { return log().find(text) != std::string::npos; });
  }

  void connect(client_t* c, const char* source = nullptr) {
    ASSERT_TRUE(c->connect_to(server_->port, source));
  }

  void expect_ack(client_t* c, int devno, int64_t offset, int size) {
    reply_record r{};
    ASSERT_EQ(1, c->read_ack(&r));
    EXPECT_EQ(kReplyAck, r.type);
    EXPECT_EQ(devno, r.devno);
    EXPECT_EQ(offset, r.offset);
    EXPECT_EQ(size, r.size);
  }

  // Acknowledgements may come in any order when blocks are in work together.
  void expect_acks(client_t* c, std::vector<std::tuple<int, int64_t, int>> want) {
    std::vector<std::tuple<int, int64_t, int>> got;
    for (size_t i = 0; i < want.size(); i++) {
      reply_record r{};
      ASSERT_EQ(1, c->read_ack(&r)) << "ack " << i;
      EXPECT_EQ(kReplyAck, r.type);
      got.emplace_back(r.devno, r.offset, r.size);
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, got);
  }

  std::string root_, log_path_;
  server_options_t opts_;
  std::unique_ptr<running_server_t> server_;
};

const int kMiB = 1 << 20;

TEST_F(ServerLoopback, BlocksLandInImagesAndAreAcknowledged) {
  start();
  client_t c;
  connect(&c);
  std::string b0 = pattern_block(8 * kMiB, 1);
  std::string b1 = pattern_block(8 * kMiB, 2);
  std::string tail = pattern_block(1000, 3);
  ASSERT_TRUE(c.send_block(0, 0, b0));
  ASSERT_TRUE(c.send_block(0, 8 * kMiB, b1));
  ASSERT_TRUE(c.send_block(3, 4096, tail));
  expect_acks(&c, {{0, 0, 8 * kMiB}, {0, 8 * kMiB, 8 * kMiB}, {3, 4096, 1000}});
  stop();

  EXPECT_EQ(b0 + b1, image("127.0.0.1", 0));
  EXPECT_EQ(std::string(4096, '\0') + tail, image("127.0.0.1", 3));

  // One journal record per block, with the bytes' XXH64.
  std::string binlog = read_file(opts_.dir + "/127.0.0.1/binlog");
  char hash[32];
  snprintf(hash, sizeof hash, " 3 4096 1000 %016" PRIx64 "\n", XXH64(tail.data(), tail.size(), 0));
  EXPECT_NE(std::string::npos, binlog.find(hash)) << binlog;
  snprintf(hash, sizeof hash, " 0 0 8388608 %016" PRIx64 "\n", XXH64(b0.data(), b0.size(), 0));
  EXPECT_NE(std::string::npos, binlog.find(hash)) << binlog;
  EXPECT_EQ(3, std::count(binlog.begin(), binlog.end(), '\n'));
  EXPECT_NE(std::string::npos, log().find("summary blocks=3 bytes=16778216"));
}

TEST_F(ServerLoopback, ResentBlockIsAppliedAndAcknowledgedAgain) {
  start();
  client_t c;
  connect(&c);
  std::string old_bytes = pattern_block(4096, 7);
  std::string new_bytes = pattern_block(4096, 8);
  ASSERT_TRUE(c.send_block(0, 0, old_bytes));
  expect_ack(&c, 0, 0, 4096);
  ASSERT_TRUE(c.send_block(0, 0, new_bytes));
  expect_ack(&c, 0, 0, 4096);
  stop();
  EXPECT_EQ(new_bytes, image("127.0.0.1", 0));
}

TEST_F(ServerLoopback, ZeroBlocksStaySparse) {
  start();
  client_t c;
  connect(&c);
  std::string data = pattern_block(kMiB, 4);
  ASSERT_TRUE(c.send_block(0, 0, data));
  expect_ack(&c, 0, 0, kMiB);
  // Past the end: becomes a hole.
  ASSERT_TRUE(c.send_block(0, 8 * kMiB, std::string(8 * kMiB, '\0')));
  expect_ack(&c, 0, 8 * kMiB, 8 * kMiB);
  // Over data (a block that became empty since an earlier run): zeros.
  ASSERT_TRUE(c.send_block(0, 0, std::string(kMiB / 2, '\0')));
  expect_ack(&c, 0, 0, kMiB / 2);
  stop();

  std::string img = image("127.0.0.1", 0);
  ASSERT_EQ(static_cast<size_t>(16 * kMiB), img.size());
  EXPECT_EQ(std::string(kMiB / 2, '\0'), img.substr(0, kMiB / 2));
  EXPECT_EQ(data.substr(kMiB / 2), img.substr(kMiB / 2, kMiB / 2));
  EXPECT_EQ(std::string(15 * kMiB, '\0'), img.substr(kMiB));
  struct stat st;
  ASSERT_EQ(0, stat((opts_.dir + "/127.0.0.1/disk0.img").c_str(), &st));
  EXPECT_LE(st.st_blocks * 512, 1 * kMiB);  // only the surviving data is allocated
}

TEST_F(ServerLoopback, EndIncrementalAnswersDurableEveryTime) {
  start();
  client_t c;
  connect(&c);
  ASSERT_TRUE(c.send_command("ctlIncremental"));
  ASSERT_TRUE(c.send_block(1, 0, pattern_block(5000, 5)));
  expect_ack(&c, 1, 0, 5000);
  for (int i = 0; i < 2; i++) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(c.send_command("ctlEndIncremental"));
    reply_record r{};
    ASSERT_EQ(1, c.read_reply(&r));
    EXPECT_EQ(kReplyDurable, r.type);
  }
  EXPECT_TRUE(log_has("incremental run announced agent=127.0.0.1"));
  EXPECT_TRUE(log_has("incremental data durable agent=127.0.0.1"));
  stop();
}

TEST_F(ServerLoopback, BinlogSizeIsReportedPeriodically) {
  opts_.binlog_interval_ms = 50;
  start();
  client_t c;
  connect(&c);
  ASSERT_TRUE(c.send_block(0, 0, pattern_block(100, 6)));
  expect_ack(&c, 0, 0, 100);
  std::string binlog_path = opts_.dir + "/127.0.0.1/binlog";
  // The next report after the record was written carries the file's size.
  reply_record r{};
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(1, c.read_reply(&r));
    ASSERT_EQ(kReplyBinlog, r.type);
  }
  EXPECT_EQ(static_cast<int64_t>(read_file(binlog_path).size()), r.offset);
  EXPECT_GT(r.offset, 0);
  stop();
}

TEST_F(ServerLoopback, FaultBinlogSizeIsReportedAsGiven) {
  opts_.binlog_interval_ms = 20;
  opts_.fault.binlog_size = 10737418241LL;
  start();
  client_t c;
  connect(&c);
  reply_record r{};
  ASSERT_EQ(1, c.read_reply(&r));
  EXPECT_EQ(kReplyBinlog, r.type);
  EXPECT_EQ(10737418241LL, r.offset);
  stop();
}

TEST_F(ServerLoopback, EachAgentGetsItsOwnDirectory) {
  start();
  client_t a, b;
  connect(&a, "127.0.0.1");
  connect(&b, "127.0.0.2");
  ASSERT_TRUE(a.send_block(0, 0, std::string(10, 'a')));
  ASSERT_TRUE(b.send_block(0, 0, std::string(10, 'b')));
  expect_ack(&a, 0, 0, 10);
  expect_ack(&b, 0, 0, 10);
  stop();
  EXPECT_EQ(std::string(10, 'a'), image("127.0.0.1", 0));
  EXPECT_EQ(std::string(10, 'b'), image("127.0.0.2", 0));
}

TEST_F(ServerLoopback, ParallelConnectionsOfOneAgentShareItsImages) {
  start();
  const int kConns = 10;
  client_t c[kConns];
  for (auto& x : c) connect(&x);
  std::string expected;
  for (int i = 0; i < kConns; i++) {
    std::string b = pattern_block(kMiB, 100 + i);
    expected += b;
    ASSERT_TRUE(c[i].send_block(0, static_cast<uint64_t>(i) * kMiB, b));
  }
  for (int i = 0; i < kConns; i++) expect_ack(&c[i], 0, static_cast<int64_t>(i) * kMiB, kMiB);
  stop();
  EXPECT_EQ(expected, image("127.0.0.1", 0));
}

TEST_F(ServerLoopback, LastConnectionClosedSyncsTheAgent) {
  start();
  {
    client_t c;
    connect(&c);
    ASSERT_TRUE(c.send_block(0, 0, std::string(10, 's')));
    expect_ack(&c, 0, 0, 10);
  }
  EXPECT_TRUE(log_has("images synced agent=127.0.0.1"));
  stop();
}

// Every kind of bad input closes that connection, names the reason, and
// leaves other connections and acknowledged data alone.
TEST_F(ServerLoopback, BadInputClosesOnlyThatConnection) {
  auto frame_len = [](uint32_t len) {
    uint32_t be = htonl(len);
    return std::string(reinterpret_cast<char*>(&be), 4);
  };
  auto block_msg = [](const std::string& content) {
    std::string out(ZSTD_compressBound(content.size()) + 3, '\0');
    memcpy(&out[0], "abc", 3);
    size_t n = ZSTD_compress(&out[3], out.size() - 3, content.data(), content.size(), 1);
    out.resize(n + 3);
    return out;
  };
  auto frame = [&](const std::string& payload) {
    return frame_len(static_cast<uint32_t>(payload.size())) + payload;
  };
  std::string good;
  {
    encoded_block_t e{};
    std::string bytes(1000, 'g');
    block_message_build(0, 0, bytes.data(), 1000, &e);
    good.assign(e.msg, static_cast<size_t>(e.msg_size));
    free(e.msg);
  }
  const std::string msgpack_ok = std::string("\x93\x00\x00\xc4\x01\x07", 6);

  struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"frame over the limit", frame_len(static_cast<uint32_t>(block_message_max_size() + 1)) + "abc",
       "corrupt frame"},
      {"frame of 2 GiB", frame_len(0x7ffffff0u), "corrupt frame"},
      {"zero length", frame_len(0) + "xxxx", "corrupt frame"},
      {"negative length", frame_len(0x80000000u) + "xxxx", "corrupt frame"},
      {"unknown kind", frame("hello"), "unknown message kind"},
      {"unknown command", frame(std::string("ctlFoo\0", 7)), "unknown message kind"},
      {"command without NUL", frame("ctlIncremental"), "unknown message kind"},
      {"truncated zstd", frame(good.substr(0, good.size() - 4)), "bad block message: truncated"},
      {"corrupt zstd", frame("abc" + std::string(40, '\x5a')), "bad block message: corrupt zstd"},
      {"decompression bomb", frame(block_msg(std::string(32 << 20, '\0'))), "bad block message: zstd content of 33554432 bytes exceeds the limit"},
      {"wrong shape", frame(block_msg(std::string("\x92\x00\x00", 3))), "bad block message: content is not a 3-element array"},
      {"devno absurd", frame(block_msg(std::string("\x93\xcd\x13\x88\x00\xc4\x01\x07", 8))),
       "bad block message: device number 5000 out of range"},
      {"offset absurd",
       frame(block_msg(std::string("\x93\x00\xcf\xff\xff\xff\xff\xff\xff\xff\xff\xc4\x01\x07", 14))),
       "bad block message: offset 18446744073709551615 out of range"},
      {"zero-length block", frame(block_msg(std::string("\x93\x00\x00\xc4\x00", 5))),
       "bad block message: block length 0 out of range"},
      {"close mid-frame", frame_len(1000) + "abc", "peer closed the connection"},
  };
  opts_.binlog_interval_ms = 60000;
  start();
  client_t keeper;
  connect(&keeper);
  ASSERT_TRUE(keeper.send_block(0, 0, std::string(100, 'k')));
  expect_ack(&keeper, 0, 0, 100);

  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    client_t bad;
    connect(&bad);
    ASSERT_TRUE(bad.send_raw(c.bytes.data(), c.bytes.size()));
    if (std::string(c.name) == "close mid-frame") {
      bad.close_now();
    } else {
      EXPECT_TRUE(bad.closed_by_peer());
    }
    EXPECT_TRUE(log_has(std::string("reason=") + c.reason));
    // The other connection still works.
    ASSERT_TRUE(keeper.send_block(0, 100, msgpack_ok));
    expect_ack(&keeper, 0, 100, 6);
  }
  stop();
  EXPECT_EQ(std::string(100, 'k') + msgpack_ok, image("127.0.0.1", 0));
}

TEST_F(ServerLoopback, FaultCloseAfterMessagesAcknowledgesThenCloses) {
  opts_.fault.close_after_messages = 3;
  start();
  client_t c;
  connect(&c);
  for (int i = 0; i < 5; i++) ASSERT_TRUE(c.send_block(0, static_cast<uint64_t>(i) * 10, std::string(10, 'c')));
  expect_acks(&c, {{0, 0, 10}, {0, 10, 10}, {0, 20, 10}});
  reply_record r{};
  EXPECT_EQ(0, c.read_reply(&r));  // then the end of the stream
  EXPECT_TRUE(log_has("reason=fault injection: closed after 3 messages"));
  stop();
  EXPECT_EQ(30u, image("127.0.0.1", 0).size());  // messages after the 3rd were not applied
}

TEST_F(ServerLoopback, FaultDropAckEveryNthStillWritesTheBlock) {
  opts_.fault.drop_ack_every = 2;
  start();
  client_t c;
  connect(&c);
  for (int i = 0; i < 4; i++) ASSERT_TRUE(c.send_block(0, static_cast<uint64_t>(i) * 10, std::string(10, 'a' + i)));
  std::vector<int64_t> acked;
  reply_record r{};
  while (c.read_ack(&r, 500) == 1) acked.push_back(r.offset);
  EXPECT_EQ(2u, acked.size());
  stop();
  EXPECT_EQ("aaaaaaaaaabbbbbbbbbbccccccccccdddddddddd", image("127.0.0.1", 0));
  EXPECT_NE(std::string::npos, log().find("acks_dropped=2"));
}

TEST_F(ServerLoopback, FaultAckDelayHoldsTheAcknowledgement) {
  opts_.fault.ack_delay_ms = 300;
  start();
  client_t c;
  connect(&c);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.send_block(0, 0, std::string(10, 'd')));
  expect_ack(&c, 0, 0, 10);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_GE(waited.count(), 290);
  stop();
}

TEST_F(ServerLoopback, PeerThatNeverReadsIsPausedNotBuffered) {
  opts_.max_pending_replies = 16;
  opts_.stats_every_blocks = 1000000;
  start();
  client_t c;
  ASSERT_TRUE(c.connect_to(server_->port, nullptr, 4096));
  int small = 4096;
  setsockopt(c.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  // A tiny block message, sent over and over without reading a reply.
  encoded_block_t e{};
  std::string bytes(8, 'p');
  ASSERT_EQ(0, block_message_build(0, 0, bytes.data(), 8, &e));
  std::string one = std::string("\0\0\0", 3) + static_cast<char>(e.msg_size) + std::string(e.msg, e.msg_size);
  free(e.msg);
  std::string burst;
  for (int i = 0; i < 1000; i++) burst += one;
  fcntl(c.fd, F_SETFL, O_NONBLOCK);
  size_t sent_msgs = 0;
  size_t partial = 0;
  auto stalled_since = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - stalled_since < std::chrono::milliseconds(500)) {
    ssize_t w = send(c.fd, burst.data() + partial, burst.size() - partial, MSG_NOSIGNAL);
    if (w > 0) {
      partial += static_cast<size_t>(w);
      sent_msgs += partial / one.size();
      partial %= one.size();
      stalled_since = std::chrono::steady_clock::now();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (sent_msgs > 2000000) break;
  }
  // The server stopped reading: the client's sending stalled long before
  // two million messages.
  EXPECT_LT(sent_msgs, 2000000u);
  // Now read every reply while the rest goes out: the server resumes and
  // answers every message.
  fcntl(c.fd, F_SETFL, 0);
  size_t total = sent_msgs + 1;
  int read_ok = 0;
  std::thread reader([&] {
    reply_record r{};
    for (size_t i = 0; i < total; i++) {
      if (c.read_ack(&r, 10000) != 1) return;
    }
    read_ok = 1;
  });
  EXPECT_TRUE(c.send_raw(burst.data() + partial, one.size() - partial));
  reader.join();
  EXPECT_EQ(1, read_ok);
  stop();
  EXPECT_NE(std::string::npos, log().find("summary blocks=" + std::to_string(total) + " "));
}

TEST_F(ServerLoopback, HundredsOfIdleConnectionsDoNotBlockWork) {
  opts_.max_connections = 400;
  start();
  std::vector<std::unique_ptr<client_t>> idle;
  for (int i = 0; i < 300; i++) {
    idle.push_back(std::make_unique<client_t>());
    ASSERT_TRUE(idle.back()->connect_to(server_->port));
  }
  client_t c;
  connect(&c);
  ASSERT_TRUE(c.send_block(0, 0, pattern_block(kMiB, 9)));
  expect_ack(&c, 0, 0, kMiB);
  stop();  // idle connections are closed by the stop
  EXPECT_EQ(pattern_block(kMiB, 9), image("127.0.0.1", 0));
}

TEST_F(ServerLoopback, ConnectionsOverTheLimitAreClosed) {
  opts_.max_connections = 2;
  start();
  client_t a, b, c;
  connect(&a);
  connect(&b);
  connect(&c);
  EXPECT_TRUE(c.closed_by_peer());
  EXPECT_TRUE(log_has("reason=too many connections (limit 2)"));
  ASSERT_TRUE(a.send_block(0, 0, std::string(10, 'a')));
  expect_ack(&a, 0, 0, 10);
  stop();
}

TEST_F(ServerLoopback, StopLetsRunningWorkFinishAndSyncs) {
  start();
  client_t c;
  connect(&c);
  std::string big = pattern_block(8 * kMiB, 11);
  for (int i = 0; i < 4; i++) ASSERT_TRUE(c.send_block(0, static_cast<uint64_t>(i) * 8 * kMiB, big));
  // Stop as soon as the server has the first one.
  reply_record r{};
  ASSERT_EQ(1, c.read_ack(&r));
  server_request_stop(server_->srv);
  int acks = 1;
  while (c.read_ack(&r, 5000) == 1) acks++;
  stop();
  // Whatever was acknowledged is on the image.
  std::string img = image("127.0.0.1", 0);
  ASSERT_GE(img.size(), static_cast<size_t>(acks) * 8 * kMiB);
  for (int i = 0; i < acks; i++) EXPECT_EQ(big, img.substr(static_cast<size_t>(i) * 8 * kMiB, 8 * kMiB));
}

TEST(ServerStart, UnusableDirectoryOrAddressFailsCleanly) {
  struct {
    const char* name;
    std::string dir;
    listen_addr_t addr;
    const char* reason;
  } cases[] = {
      {"directory is a file", "/dev/null", {"127.0.0.1", 0}, "not a writable directory"},
      {"address not local", "/tmp", {"192.0.2.1", 0}, "cannot listen on 192.0.2.1:0"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    uv_loop_t loop;
    uv_loop_init(&loop);
    server_options_t o;
    o.dir = c.dir;
    o.listen.push_back(c.addr);
    server_t* srv = server_new();
    std::string error;
    EXPECT_EQ(-1, server_start(srv, &loop, o, false, &error));
    EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
    uv_run(&loop, UV_RUN_DEFAULT);
    EXPECT_EQ(0, uv_loop_close(&loop));
    server_free(srv);
  }
}

}  // namespace
