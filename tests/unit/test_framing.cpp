// Framing over a real libuv stream (one end of a socketpair) fed byte chunks
// of our choosing, plus the write side and the read steps driven directly.
#include "proto/uv_msg_framing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "proto/uv_msg_framing_internal.h"

namespace {

std::string be32(int32_t v) {
  uint32_t n = htonl(static_cast<uint32_t>(v));
  return std::string(reinterpret_cast<const char*>(&n), 4);
}

std::string payload(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

std::string frame(const std::string& p) { return be32(static_cast<int32_t>(p.size())) + p; }

// What the user callbacks saw. The stream's `data` points here.
struct observed_t {
  std::vector<std::string> messages;
  std::vector<int> errors;
  std::vector<size_t> alloc_sizes;  // sizes asked of alloc_cb, in order
  int frees = 0;                    // non-null buffers handed back
  int live = 0;                     // buffers handed out and not yet back
  int fail_alloc_from = -1;         // alloc_cb yields nothing from this call index on
};

void test_alloc(uv_handle_t* h, size_t size, uv_buf_t* b) {
  observed_t* o = static_cast<observed_t*>(h->data);
  int index = static_cast<int>(o->alloc_sizes.size());
  o->alloc_sizes.push_back(size);
  if (o->fail_alloc_from >= 0 && index >= o->fail_alloc_from) {
    *b = uv_buf_init(nullptr, 0);
    return;
  }
  ++o->live;
  *b = uv_buf_init(static_cast<char*>(malloc(size)), static_cast<unsigned>(size));
}

void test_free(uv_handle_t* h, void* p) {
  observed_t* o = static_cast<observed_t*>(h->data);
  if (p != nullptr) {
    ++o->frees;
    --o->live;
  }
  free(p);
}

void test_msg(uv_msg_t* s, void* msg, int size) {
  observed_t* o = static_cast<observed_t*>(s->data);
  if (msg == nullptr) {
    o->errors.push_back(size);
  } else {
    o->messages.emplace_back(static_cast<char*>(msg), static_cast<size_t>(size));
  }
}

class FramingLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, uv_loop_init(&loop_));
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds_));
    ASSERT_EQ(0, uv_msg_init(&loop_, &reader_, UV_NAMED_PIPE));
    ASSERT_EQ(0, uv_pipe_open(&reader_.pipe, fds_[0]));
    reader_.data = &seen_;
  }

  void TearDown() override {
    if (fds_[1] >= 0) close(fds_[1]);
    uv_close(reinterpret_cast<uv_handle_t*>(&reader_), nullptr);
    uv_run(&loop_, UV_RUN_DEFAULT);
    EXPECT_EQ(0, uv_loop_close(&loop_));  // every handle and request is gone
    EXPECT_EQ(0, seen_.live) << "accumulation buffers leaked";
  }

  void start() {
    ASSERT_EQ(0, uv_msg_read_start(&reader_, test_alloc, test_msg, test_free));
  }

  // Writes one chunk on the peer end and runs the loop until the reader has
  // taken every byte, so each chunk reaches the framing layer on its own.
  void feed(const std::string& chunk) {
    ASSERT_EQ(static_cast<ssize_t>(chunk.size()), write(fds_[1], chunk.data(), chunk.size()));
    for (int i = 0; i < 100; ++i) {
      uv_run(&loop_, UV_RUN_NOWAIT);
      int pending = -1;
      ASSERT_EQ(0, ioctl(fds_[0], FIONREAD, &pending));
      if (pending == 0) break;
    }
    uv_run(&loop_, UV_RUN_NOWAIT);
  }

  void close_peer() {
    close(fds_[1]);
    fds_[1] = -1;
    for (int i = 0; i < 10 && seen_.errors.empty(); ++i) uv_run(&loop_, UV_RUN_NOWAIT);
  }

  uv_loop_t loop_;
  int fds_[2] = {-1, -1};
  uv_msg_t reader_;
  observed_t seen_;
};

struct read_case_t {
  const char* name;
  std::vector<std::string> chunks;
  bool close_after;
  int max_frame;  // 0: the default
  std::vector<std::string> messages;
  std::vector<int> errors;
  std::vector<size_t> alloc_sizes;  // empty: not checked
};

TEST_F(FramingLoop, DeliversWholeFramesWhateverTheChunking) {
  const std::string a = payload(15, 'a'), b = payload(40, 'b'), c = payload(9, 'c');
  const std::string big = payload(100000, 'x');
  const std::string fc = frame(c);
  const read_case_t cases[] = {
      {"one 15-byte frame", {frame(a)}, false, 0, {a}, {}, {65536}},
      {"two frames in one read", {frame(a) + frame(b)}, false, 0, {a, b}, {}, {65536}},
      {"prefix split after 2 bytes", {frame(a).substr(0, 2), frame(a).substr(2)}, false, 0, {a}, {},
       {}},
      {"payload split in three", {frame(b).substr(0, 6), frame(b).substr(6, 20), frame(b).substr(26)},
       false, 0, {b}, {}, {}},
      // The read that ends the frame filled its offer, so libuv tries once
      // more with a fresh buffer, finds nothing, and that buffer goes back.
      {"100000-byte frame grows once", {frame(big)}, false, 200000, {big}, {},
       {65536, 100004, 65536}},
      {"leftover 3 bytes moved to the front",
       {frame(a) + frame(b) + fc.substr(0, 3), fc.substr(3)}, false, 0, {a, b, c}, {}, {}},
      {"leftover partial payload moved to the front",
       {frame(a) + fc.substr(0, 7), fc.substr(7)}, false, 0, {a, c}, {}, {}},
      {"zero length discards and reports", {be32(0) + a}, false, 0, {}, {UV_EPROTO}, {}},
      {"negative length discards and reports", {be32(INT32_MIN) + a}, false, 0, {}, {UV_EPROTO}, {}},
      {"length -1", {be32(-1)}, false, 0, {}, {UV_EPROTO}, {}},
      {"over the limit: no allocation for it", {be32(101) + payload(101, 'o')}, false, 100, {},
       {UV_EPROTO}, {65536}},
      {"exactly at the limit", {frame(payload(100, 'l'))}, false, 100, {payload(100, 'l')}, {}, {}},
      {"good frame, then a corrupt length", {frame(a) + be32(0) + "zz"}, false, 0, {a}, {UV_EPROTO},
       {}},
      {"stream goes on after corruption", {be32(-5), frame(b)}, false, 0, {b}, {UV_EPROTO}, {}},
      {"peer closes mid-frame", {frame(b).substr(0, 10)}, true, 0, {}, {UV_EOF}, {}},
      {"peer closes mid-prefix", {frame(b).substr(0, 3)}, true, 0, {}, {UV_EOF}, {}},
      {"peer closes between frames", {frame(a)}, true, 0, {a}, {UV_EOF}, {}},
  };
  for (const read_case_t& t : cases) {
    SCOPED_TRACE(t.name);
    TearDown();
    seen_ = observed_t();
    SetUp();
    if (t.max_frame > 0) uv_msg_set_max_frame(&reader_, t.max_frame);
    start();
    for (const std::string& ch : t.chunks) feed(ch);
    if (t.close_after) close_peer();
    EXPECT_EQ(t.messages, seen_.messages);
    EXPECT_EQ(t.errors, seen_.errors);
    if (!t.alloc_sizes.empty()) {
      EXPECT_EQ(t.alloc_sizes, seen_.alloc_sizes);
    }
    // Whatever happened, a stream resting between frames holds no buffer.
    if (t.close_after || !t.errors.empty() || !t.messages.empty()) {
      EXPECT_EQ(nullptr, reader_.buf);
      EXPECT_EQ(0, reader_.filled);
      EXPECT_EQ(0, reader_.alloc_size);
    }
  }
}

TEST_F(FramingLoop, PartialFrameKeepsItsBufferUntilComplete) {
  start();
  const std::string f = frame(payload(30, 'p'));
  feed(f.substr(0, 12));
  ASSERT_NE(nullptr, reader_.buf);
  EXPECT_EQ(12, reader_.filled);
  EXPECT_TRUE(seen_.messages.empty());
  feed(f.substr(12));
  EXPECT_EQ(1u, seen_.messages.size());
  EXPECT_EQ(nullptr, reader_.buf);
}

TEST_F(FramingLoop, AllocationFailureReportsNoBufs) {
  seen_.fail_alloc_from = 1;  // the first buffer comes, the growth fails
  uv_msg_set_max_frame(&reader_, 200000);
  start();
  feed(frame(payload(100000, 'n')));
  EXPECT_TRUE(seen_.messages.empty());
  ASSERT_FALSE(seen_.errors.empty());
  EXPECT_EQ(UV_ENOBUFS, seen_.errors[0]);
  EXPECT_EQ(nullptr, reader_.buf);
  uv_read_stop(reinterpret_cast<uv_stream_t*>(&reader_));
}

void close_on_message(uv_msg_t* s, void* msg, int size) {
  test_msg(s, msg, size);
  if (!uv_is_closing(reinterpret_cast<uv_handle_t*>(s))) {
    uv_close(reinterpret_cast<uv_handle_t*>(s), nullptr);
  }
}

// A user that closes the stream from its callback gets no further frames,
// and the held bytes are handed back.
TEST(Framing, ClosingFromTheCallbackStopsDelivery) {
  uv_loop_t loop;
  ASSERT_EQ(0, uv_loop_init(&loop));
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  uv_msg_t reader;
  ASSERT_EQ(0, uv_msg_init(&loop, &reader, UV_NAMED_PIPE));
  ASSERT_EQ(0, uv_pipe_open(&reader.pipe, fds[0]));
  observed_t seen;
  reader.data = &seen;
  ASSERT_EQ(0, uv_msg_read_start(&reader, test_alloc, close_on_message, test_free));
  const std::string two = frame("first") + frame("second");
  ASSERT_EQ(static_cast<ssize_t>(two.size()), write(fds[1], two.data(), two.size()));
  uv_run(&loop, UV_RUN_DEFAULT);
  EXPECT_EQ(std::vector<std::string>{"first"}, seen.messages);
  EXPECT_EQ(0, seen.live);
  close(fds[1]);
  EXPECT_EQ(0, uv_loop_close(&loop));
}

// ---- write side ----

int g_send_cb_calls;      // send completions seen; loop thread of the test
int g_send_cb_status;     // status of the last completion
int g_owned_free_calls;   // calls of count_free

void count_send_cb(send_message_t*, int status) {
  ++g_send_cb_calls;
  g_send_cb_status = status;
}

void count_free(void* p) {
  ++g_owned_free_calls;
  free(p);
}

std::string read_all(int fd, size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, &out[got], n - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

TEST(Framing, SendWritesPrefixThenPayload) {
  uv_loop_t loop;
  ASSERT_EQ(0, uv_loop_init(&loop));
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  uv_msg_t writer;
  ASSERT_EQ(0, uv_msg_init(&loop, &writer, UV_NAMED_PIPE));
  ASSERT_EQ(0, uv_pipe_open(&writer.pipe, fds[1]));

  g_send_cb_calls = 0;
  g_owned_free_calls = 0;
  char text[] = "ctlIncremental";  // 15 bytes with its NUL
  ASSERT_EQ(0, send_message(&writer, text, 15, SEND_MESSAGE_COPY, count_send_cb, nullptr));
  text[0] = 'X';  // the copy left already: changing ours must not matter
  char* owned = static_cast<char*>(malloc(3));
  memcpy(owned, "abc", 3);
  ASSERT_EQ(0, send_message(&writer, owned, 3, count_free, count_send_cb, nullptr));
  uv_run(&loop, UV_RUN_DEFAULT);

  EXPECT_EQ(2, g_send_cb_calls);
  EXPECT_EQ(0, g_send_cb_status);
  EXPECT_EQ(1, g_owned_free_calls);
  const std::string want = std::string("\x00\x00\x00\x0f", 4) + std::string("ctlIncremental\0", 15) +
                           std::string("\x00\x00\x00\x03", 4) + "abc";
  EXPECT_EQ(want, read_all(fds[0], want.size()));

  uv_close(reinterpret_cast<uv_handle_t*>(&writer), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  close(fds[0]);
  EXPECT_EQ(0, uv_loop_close(&loop));
}

TEST(Framing, RefusedArgumentsAndStreamTypes) {
  uv_loop_t loop;
  ASSERT_EQ(0, uv_loop_init(&loop));
  uv_msg_t s;
  EXPECT_EQ(UV_EINVAL, uv_msg_init(&loop, &s, UV_TTY));
  ASSERT_EQ(0, uv_msg_init(&loop, &s, UV_TCP));
  EXPECT_EQ(nullptr, s.buf);
  EXPECT_EQ(UV_MSG_DEFAULT_MAX_FRAME, s.max_frame);
  uv_msg_send_t req;
  char byte = 'x';
  EXPECT_EQ(UV_EINVAL, uv_msg_send(&req, &s, &byte, 0, nullptr));
  EXPECT_EQ(UV_EINVAL, uv_msg_send(&req, &s, &byte, -1, nullptr));
  EXPECT_EQ(UV_EINVAL, uv_msg_send(nullptr, &s, &byte, 1, nullptr));
  EXPECT_EQ(UV_EINVAL, uv_msg_send(&req, &s, nullptr, 1, nullptr));
  EXPECT_EQ(UV_ENOMEM, send_message(&s, nullptr, 4, SEND_MESSAGE_COPY, nullptr, nullptr));
  EXPECT_EQ(UV_ENOMEM, send_message(&s, &byte, 0, SEND_MESSAGE_COPY, nullptr, nullptr));

  uv_msg_set_max_frame(&s, 0);
  EXPECT_EQ(1, s.max_frame);
  uv_msg_set_max_frame(&s, INT32_MAX);
  EXPECT_EQ(UV_MSG_ABSOLUTE_MAX_FRAME, s.max_frame);

  uv_close(reinterpret_cast<uv_handle_t*>(&s), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  EXPECT_EQ(0, uv_loop_close(&loop));
}

// uv_write refuses a stream without a socket at once; send_message must then
// release its request, its copy, and a payload it was given to own (LSan
// catches the first two, the counter the third).
TEST(Framing, RefusedWriteLeaksNothing) {
  uv_loop_t loop;
  ASSERT_EQ(0, uv_loop_init(&loop));
  uv_msg_t unopened;
  ASSERT_EQ(0, uv_msg_init(&loop, &unopened, UV_NAMED_PIPE));
  g_send_cb_calls = 0;
  g_owned_free_calls = 0;
  char text[] = "hello";
  EXPECT_LT(send_message(&unopened, text, 5, SEND_MESSAGE_COPY, count_send_cb, nullptr), 0);
  char* owned = static_cast<char*>(malloc(5));
  memcpy(owned, "hello", 5);
  EXPECT_LT(send_message(&unopened, owned, 5, count_free, count_send_cb, nullptr), 0);
  uv_run(&loop, UV_RUN_DEFAULT);
  EXPECT_EQ(0, g_send_cb_calls);
  EXPECT_EQ(1, g_owned_free_calls);
  uv_close(reinterpret_cast<uv_handle_t*>(&unopened), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  EXPECT_EQ(0, uv_loop_close(&loop));
}

// A write still queued when the stream closes completes with UV_ECANCELED;
// the callback runs once and the copy and request are released (LSan).
TEST(Framing, WriteCancelledByCloseReleasesEverything) {
  uv_loop_t loop;
  ASSERT_EQ(0, uv_loop_init(&loop));
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  uv_msg_t writer;
  ASSERT_EQ(0, uv_msg_init(&loop, &writer, UV_NAMED_PIPE));
  ASSERT_EQ(0, uv_pipe_open(&writer.pipe, fds[1]));
  g_send_cb_calls = 0;
  g_send_cb_status = 0;
  std::string big(4 << 20, 'w');  // more than the socket buffer takes at once
  ASSERT_EQ(0, send_message(&writer, &big[0], static_cast<int>(big.size()), SEND_MESSAGE_COPY,
                            count_send_cb, nullptr));
  EXPECT_GT(uv_stream_get_write_queue_size(reinterpret_cast<uv_stream_t*>(&writer)), 0u);
  uv_close(reinterpret_cast<uv_handle_t*>(&writer), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  EXPECT_EQ(1, g_send_cb_calls);
  EXPECT_EQ(UV_ECANCELED, g_send_cb_status);
  close(fds[0]);
  EXPECT_EQ(0, uv_loop_close(&loop));
}

TEST(Framing, MemdupRefusesEmptyInput) {
  EXPECT_EQ(nullptr, memdup(nullptr, 4));
  EXPECT_EQ(nullptr, memdup("x", 0));
  EXPECT_EQ(nullptr, memdup("x", -3));
  void* p = memdup("xyz", 3);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0, memcmp(p, "xyz", 3));
  free(p);
}

// ---- read steps driven directly: the zero-byte read libuv reports when a
// read finds nothing ----

struct direct_stream_t {
  uv_msg_t s;
  observed_t seen;
  direct_stream_t() {
    memset(&s, 0, sizeof s);  // flags 0: not closing
    s.data = &seen;
    s.alloc_cb = test_alloc;
    s.free_cb = test_free;
    s.msg_read_cb = test_msg;
    s.max_frame = UV_MSG_DEFAULT_MAX_FRAME;
  }
  // One libuv read: ask for space, copy up to `bytes` into it, report.
  size_t read_once(const std::string& bytes) {
    uv_buf_t b;
    uv_stream_msg_alloc(reinterpret_cast<uv_handle_t*>(&s), 65536, &b);
    if (b.base == nullptr) {
      uv_stream_msg_read(reinterpret_cast<uv_stream_t*>(&s), UV_ENOBUFS, &b);
      return 0;
    }
    size_t n = bytes.size() < b.len ? bytes.size() : b.len;
    memcpy(b.base, bytes.data(), n);
    uv_stream_msg_read(reinterpret_cast<uv_stream_t*>(&s), static_cast<ssize_t>(n), &b);
    return n;
  }
};

TEST(FramingSteps, ZeroByteReadKeepsHeldBytes) {
  direct_stream_t d;
  const std::string f = frame(payload(20, 'z'));
  ASSERT_EQ(10u, d.read_once(f.substr(0, 10)));
  char* held = d.s.buf;
  EXPECT_EQ(0u, d.read_once(""));  // nread 0 while part of a frame is held
  EXPECT_EQ(held, d.s.buf);
  EXPECT_EQ(10, d.s.filled);
  EXPECT_TRUE(d.seen.messages.empty());
  ASSERT_EQ(14u, d.read_once(f.substr(10)));
  EXPECT_EQ(std::vector<std::string>{payload(20, 'z')}, d.seen.messages);
  EXPECT_EQ(nullptr, d.s.buf);
  // A zero-byte read with nothing held releases the fresh buffer at once.
  EXPECT_EQ(0u, d.read_once(""));
  EXPECT_EQ(nullptr, d.s.buf);
  EXPECT_EQ(0, d.seen.live);
}

TEST(FramingSteps, KnownLengthLimitsTheOfferToTheFrame) {
  direct_stream_t d;
  const std::string f = frame(payload(100, 'k'));
  d.read_once(f.substr(0, 4));
  uv_buf_t b;
  uv_stream_msg_alloc(reinterpret_cast<uv_handle_t*>(&d.s), 65536, &b);
  EXPECT_EQ(d.s.buf + 4, b.base);
  EXPECT_EQ(100u, b.len);  // never past this frame's end
  uv_stream_msg_read(reinterpret_cast<uv_stream_t*>(&d.s), 0, &b);
  uv_stream_msg_free_buffer(&d.s);
  EXPECT_EQ(0, d.seen.live);
}

// A buffer shorter than asked counts as a failed growth and is handed back.
void short_alloc(uv_handle_t* h, size_t size, uv_buf_t* b) {
  test_alloc(h, size > 65536 ? 1000 : size, b);
}

TEST(FramingSteps, ShortGrowthBufferIsHandedBack) {
  direct_stream_t d;
  d.s.alloc_cb = short_alloc;
  d.s.max_frame = 200000;
  const std::string f = frame(payload(70000, 's'));
  d.read_once(f.substr(0, 8));
  d.read_once(f.substr(8));  // growth to 70004 gets 1000 bytes: refused
  EXPECT_EQ(std::vector<int>{UV_ENOBUFS}, d.seen.errors);
  EXPECT_EQ(nullptr, d.s.buf);
  EXPECT_EQ(0, d.seen.live);
}

}  // namespace
