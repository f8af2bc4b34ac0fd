#include "agent/connection_pool.h"

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "agent/agent_state.h"
#include "agent/outgoing_queue.h"
#include "agent/waitlist.h"

namespace {

// A loopback peer on the test's loop: accepts connections, keeps what each
// sends, and can write raw bytes back or close them.
struct peer_conn_t {
  uv_tcp_t tcp;
  std::string received;
  bool closed = false;
};

struct peer_t {
  uv_tcp_t listener;
  std::vector<peer_conn_t*> conns;
  int port = 0;
};

peer_t* g_peer = nullptr;  // the test's peer; test thread only

void peer_alloc(uv_handle_t*, size_t n, uv_buf_t* b) { *b = uv_buf_init(static_cast<char*>(malloc(n)), static_cast<unsigned>(n)); }

void peer_read(uv_stream_t* s, ssize_t n, const uv_buf_t* b) {
  peer_conn_t* c = static_cast<peer_conn_t*>(s->data);
  if (n > 0) c->received.append(b->base, static_cast<size_t>(n));
  free(b->base);
}

void peer_on_connection(uv_stream_t* server, int status) {
  ASSERT_EQ(0, status);
  peer_conn_t* c = new peer_conn_t;
  uv_tcp_init(server->loop, &c->tcp);
  c->tcp.data = c;
  ASSERT_EQ(0, uv_accept(server, reinterpret_cast<uv_stream_t*>(&c->tcp)));
  uv_read_start(reinterpret_cast<uv_stream_t*>(&c->tcp), peer_alloc, peer_read);
  g_peer->conns.push_back(c);
}

void peer_conn_closed(uv_handle_t* h) {
  peer_conn_t* c = static_cast<peer_conn_t*>(h->data);
  c->closed = true;
}

void write_done(uv_write_t* w, int) {
  free(w->data);
  delete w;
}

void peer_write(peer_conn_t* c, const std::string& bytes) {
  uv_write_t* w = new uv_write_t;
  char* copy = static_cast<char*>(malloc(bytes.size()));
  memcpy(copy, bytes.data(), bytes.size());
  w->data = copy;
  uv_buf_t b = uv_buf_init(copy, static_cast<unsigned>(bytes.size()));
  uv_write(w, reinterpret_cast<uv_stream_t*>(&c->tcp), &b, 1, write_done);
}

std::string frame(const std::string& payload) {
  uint32_t n = htonl(static_cast<uint32_t>(payload.size()));
  return std::string(reinterpret_cast<const char*>(&n), 4) + payload;
}

}  // namespace

class ConnectionPool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, uv_loop_init(&test_loop_));
    loop = &test_loop_;
    uv_async_init(loop, &async_send_block, send_data_to_network_from_queue);
    uv_async_init(loop, &async_send_message, send_data_to_network_from_queue);
    incremental_mode = 0;
    g_peer = &peer_;
  }

  void TearDown() override {
    {
      std::lock_guard<std::mutex> guard(sockets_rw_lock);
      for (uv_msg_t* s : sockets) close_and_free_stream(s);
      sockets.clear();
    }
    for (peer_conn_t* c : peer_.conns) {
      if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(&c->tcp)))
        uv_close(reinterpret_cast<uv_handle_t*>(&c->tcp), peer_conn_closed);
    }
    if (listening_) uv_close(reinterpret_cast<uv_handle_t*>(&peer_.listener), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&async_send_block), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&async_send_message), nullptr);
    run_until([] { return false; }, 50);
    // Every handle, the pool's streams included, is closed and freed.
    EXPECT_EQ(0, uv_loop_close(&test_loop_));
    memset(&async_send_block, 0, sizeof async_send_block);
    memset(&async_send_message, 0, sizeof async_send_message);
    for (peer_conn_t* c : peer_.conns) delete c;
    char* buf;
    int size;
    while (pop_data_from_waitlist(&buf, &size) == 0) free(buf);
    loop = nullptr;
    g_peer = nullptr;
  }

  void listen_on_loopback() {
    uv_tcp_init(loop, &peer_.listener);
    struct sockaddr_in any;
    uv_ip4_addr("127.0.0.1", 0, &any);
    ASSERT_EQ(0, uv_tcp_bind(&peer_.listener, reinterpret_cast<sockaddr*>(&any), 0));
    ASSERT_EQ(0, uv_listen(reinterpret_cast<uv_stream_t*>(&peer_.listener), 16, peer_on_connection));
    struct sockaddr_in bound;
    int len = sizeof bound;
    uv_tcp_getsockname(&peer_.listener, reinterpret_cast<sockaddr*>(&bound), &len);
    peer_.port = ntohs(bound.sin_port);
    listening_ = true;
    point_at(peer_.port);
  }

  // A port on which nothing listens: bind, read the port, close.
  void point_at_closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    point_at(ntohs(a.sin_port));
  }

  void point_at(int port) {
    uv_ip4_addr("127.0.0.1", port, &dest4);
    dest_ptr = reinterpret_cast<const sockaddr*>(&dest4);
  }

  bool run_until(std::function<bool()> done, int ms = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
      uv_run(loop, UV_RUN_NOWAIT);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
  }

  static size_t pool_size() {
    std::lock_guard<std::mutex> guard(sockets_rw_lock);
    return sockets.size();
  }

  uv_loop_t test_loop_;
  peer_t peer_;
  bool listening_ = false;
};

TEST_F(ConnectionPool, RefusedAttemptsLeaveNoStreamBehind) {
  point_at_closed_port();
  for (int i = 0; i < 3; i++) ASSERT_EQ(0, start_connection_attempt(false));
  EXPECT_EQ(3, pending_connection_attempts());
  ASSERT_TRUE(run_until([] { return pending_connection_attempts() == 0; }));
  EXPECT_EQ(0u, pool_size());
  EXPECT_EQ(0u, count_pending_size());
}

TEST_F(ConnectionPool, IncrementalAnnouncedFirstOnEveryStream) {
  listen_on_loopback();
  incremental_mode = 1;
  for (int i = 0; i < 3; i++) start_connection_attempt(false);
  ASSERT_TRUE(run_until([&] {
    if (pool_size() != 3 || peer_.conns.size() != 3) return false;
    for (auto* c : peer_.conns)
      if (c->received.size() < 19) return false;
    return true;
  }));
  std::string want = frame(std::string("ctlIncremental", 15));
  for (auto* c : peer_.conns) EXPECT_EQ(want, c->received);
  EXPECT_EQ(0, pending_connection_attempts());
}

// Messages sent while no stream was up used to be dropped.
TEST_F(ConnectionPool, MessageQueuedWithoutStreamLeavesOnceConnected) {
  send_ctrl_command_in_a_thread("ctlEndIncremental");
  send_data_to_network_from_queue(nullptr);  // "no socket return"
  EXPECT_EQ(1u, get_waitlist_size());
  listen_on_loopback();
  start_connection_attempt(false);
  ASSERT_TRUE(run_until([&] {
    return peer_.conns.size() == 1 && peer_.conns[0]->received.size() >= 22;
  }));
  EXPECT_EQ(frame(std::string("ctlEndIncremental", 18)), peer_.conns[0]->received);
  EXPECT_EQ(0u, get_waitlist_size());
}

TEST_F(ConnectionPool, PeerCloseOrCorruptFrameDropsStream) {
  listen_on_loopback();
  start_connection_attempt(false);
  start_connection_attempt(false);
  ASSERT_TRUE(run_until([&] { return pool_size() == 2 && peer_.conns.size() == 2; }));
  // One peer closes; the other announces a frame far above the reply limit.
  uv_close(reinterpret_cast<uv_handle_t*>(&peer_.conns[0]->tcp), peer_conn_closed);
  peer_write(peer_.conns[1], std::string("\x00\x10\x00\x00", 4) + "xxxx");
  ASSERT_TRUE(run_until([] { return pool_size() == 0; }));
  // TearDown's uv_loop_close proves both streams were closed and freed.
}

TEST_F(ConnectionPool, PendingSizeIsMeasuredOnTheLoop) {
  listen_on_loopback();
  start_connection_attempt(false);
  ASSERT_TRUE(run_until([] { return pool_size() == 1; }));
  refresh_pending_size();
  EXPECT_EQ(0u, count_pending_size());
}
