#include "agent/outgoing_queue.h"

#include <gtest/gtest.h>
#include <string.h>
#include <zstd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_state.h"
#include "agent/connection_pool.h"
#include "agent/waitlist.h"
#include "proto/block_message_decode.h"

namespace {

size_t wait_for_waitlist_size(size_t n) {
  for (int i = 0; i < 1000 && get_waitlist_size() != n; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return get_waitlist_size();
}

}  // namespace

TEST(OutgoingQueue, HandOverCopiesBeforeReturning) {
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<char>(i * 7);
  std::string original = bytes;
  std::vector<char> buf(bytes.begin(), bytes.end());
  EXPECT_EQ(0, send_block_to_queue_with_copy_in_new_thread(nullptr, 4, 8388608, buf.data(),
                                                           static_cast<int>(buf.size())));
  std::fill(buf.begin(), buf.end(), 'Z');  // the caller may reuse its buffer at once
  ASSERT_EQ(1u, wait_for_waitlist_size(1));

  char* msg = nullptr;
  int size = 0;
  ASSERT_EQ(0, pop_data_from_waitlist(&msg, &size));
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  std::vector<unsigned char> content(kMaxBlockContent);
  block_message_t m;
  std::string error;
  ASSERT_EQ(0, decode_block_message(dctx, msg, static_cast<size_t>(size), content.data(),
                                    content.size(), &m, &error))
      << error;
  EXPECT_EQ(4, m.devno);
  EXPECT_EQ(8388608, m.offset);
  EXPECT_TRUE(std::string(reinterpret_cast<const char*>(m.data), static_cast<size_t>(m.length)) ==
              original);
  ZSTD_freeDCtx(dctx);
  free(msg);
}

// With no stream up the sender used to drop the oldest message.
TEST(OutgoingQueue, EmptyPoolKeepsEveryMessageInOrder) {
  ASSERT_TRUE(sockets.empty());
  const char* names[] = {"one", "two", "three"};
  for (const char* n : names) add_to_send_waitlist(strdup(n), static_cast<int>(strlen(n) + 1));
  send_data_to_network_from_queue(nullptr);
  send_data_to_network_from_queue(nullptr);
  ASSERT_EQ(3u, get_waitlist_size());
  for (const char* n : names) {
    char* buf = nullptr;
    int size = 0;
    ASSERT_EQ(0, pop_data_from_waitlist(&buf, &size));
    EXPECT_STREQ(n, buf);
    free(buf);
  }
}

TEST(OutgoingQueue, EmptyQueueWakeUpDoesNothing) {
  send_data_to_network_from_queue(nullptr);
  EXPECT_EQ(0u, get_waitlist_size());
}

namespace {
std::vector<size_t> g_seen_queue_sizes;  // queue size at each wake-up; test thread
void record_wake(uv_async_t*) { g_seen_queue_sizes.push_back(get_waitlist_size()); }
}  // namespace

// The hand-over wakes the sender before its thread has queued the message; a
// message queued after that wake-up used to wait for the 20-minute resend.
TEST(OutgoingQueue, SenderIsWokenAfterTheMessageIsQueued) {
  uv_loop_t loop;
  ASSERT_EQ(0, uv_loop_init(&loop));
  ASSERT_EQ(0, uv_async_init(&loop, &async_send_block, record_wake));
  g_seen_queue_sizes.clear();

  std::vector<char> block(8388608);
  for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<char>((i * 2654435761u) >> 13);
  send_block_to_queue_with_copy_in_new_thread(nullptr, 0, 0, block.data(),
                                              static_cast<int>(block.size()));
  for (int i = 0; i < 2000; i++) {
    uv_run(&loop, UV_RUN_NOWAIT);
    if (!g_seen_queue_sizes.empty() && g_seen_queue_sizes.back() == 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(g_seen_queue_sizes.empty());
  EXPECT_EQ(1u, g_seen_queue_sizes.back()) << "no wake-up saw the queued message";

  char* msg = nullptr;
  int size = 0;
  ASSERT_EQ(0, pop_data_from_waitlist(&msg, &size));
  free(msg);
  while (block_threads_in_flight() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  uv_close(reinterpret_cast<uv_handle_t*>(&async_send_block), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  EXPECT_EQ(0, uv_loop_close(&loop));
  memset(&async_send_block, 0, sizeof async_send_block);
}
